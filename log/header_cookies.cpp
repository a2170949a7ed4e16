#include "header_cookies.h"

#include "text_helpers.h"
#include "text_scan.h"

namespace veltrox {
namespace {

std::string Join(const std::vector<std::string>& pieces, std::string_view separator) {
  std::string out;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    if (i > 0) out += separator;
    out += pieces[i];
  }
  return out;
}

std::string RecaseName(std::string_view name) {
  if (FindText(name, "-") == kNotFound) return CapitaliseFirst(name);
  std::vector<std::string> pieces = SplitText(name, "-");
  for (std::string& piece : pieces) piece = CapitaliseFirst(piece);
  return Join(pieces, "-");
}

}  // namespace

std::string CapitaliseFirst(std::string_view text) {
  std::string out(text);
  if (!out.empty()) out[0] = ToUpperAscii(out[0]);
  return out;
}

std::string NormaliseHeaderNames(std::string_view headers) {
  std::vector<std::string> kept;
  for (const std::string& line : SplitText(headers, "\r\n")) {
    const std::size_t colon = FindText(line, ":");
    if (colon == kNotFound) continue;
    // Dashes that end the name shorten the new name; taking the rest of the
    // line by length brings them back in front of the colon.
    const std::string name = RecaseName(std::string_view(line).substr(0, colon));
    kept.push_back(name + line.substr(name.size()));
  }
  return Join(kept, "\r\n");
}

std::string RemoveAllSpaces(std::string_view text) {
  std::string out;
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t n = UnitLength(text, pos);
    if (!IsSpaceAt(text, pos)) out.append(text.substr(pos, n));
    pos += n;
  }
  return out;
}

std::string CookieName(std::string_view item) {
  const std::size_t equals = FindText(item, "=");
  return Trim(equals == kNotFound ? item : item.substr(0, equals));
}

bool HasCookie(const std::vector<std::string>& items, std::string_view name) {
  for (const std::string& item : items) {
    if (CookieName(item) == name) return true;
  }
  return false;
}

int FindItem(const std::vector<std::string>& items, std::string_view text) {
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (items[i] == text) return static_cast<int>(i) + 1;
  }
  return -1;
}

std::string UniqueItems(std::string_view text, std::string_view separator) {
  std::vector<std::string> kept;
  for (std::string& piece : SplitText(text, separator)) {
    if (FindItem(kept, piece) == -1) kept.push_back(std::move(piece));
  }
  return Join(kept, separator);
}

std::string MergeCookies(std::string& sent, std::string& received) {
  sent = RemoveAllSpaces(sent);
  received = RemoveAllSpaces(received);
  std::vector<std::string> merged = SplitText(received, ";");
  for (std::string& item : SplitText(sent, ";")) {
    // The list grows as it goes, so of several sent items of one name only the first gets in.
    if (!HasCookie(merged, CookieName(item))) merged.push_back(std::move(item));
  }
  static constexpr std::string_view kDeleted = "=deleted";
  std::vector<std::string> alive;
  for (std::string& item : merged) {
    const bool deleted = item.size() >= kDeleted.size() && std::string_view(item).substr(item.size() - kDeleted.size()) == kDeleted;
    if (!deleted) alive.push_back(std::move(item));
  }
  sent = UniqueItems(Join(alive, "; "), "; ");
  return sent;
}

}  // namespace veltrox
