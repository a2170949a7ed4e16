#include "text_scan.h"

namespace veltrox {

std::string ToUpperAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = ToUpperAscii(c);
  return out;
}

bool EqualsText(std::string_view a, std::string_view b, bool ignoreCase) {
  if (a.size() != b.size()) return false;
  if (!ignoreCase) return a == b;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (ToUpperAscii(a[i]) != ToUpperAscii(b[i])) return false;
  }
  return true;
}

bool StartsWithText(std::string_view text, std::string_view prefix, bool ignoreCase) {
  return text.size() >= prefix.size() && EqualsText(text.substr(0, prefix.size()), prefix, ignoreCase);
}

std::size_t FindText(std::string_view text, std::string_view pattern, std::size_t from, bool ignoreCase) {
  if (pattern.empty() || pattern.size() > text.size()) return kNotFound;
  const std::size_t last = text.size() - pattern.size();
  for (std::size_t pos = from; pos <= last; pos += UnitLength(text, pos)) {
    if (StartsWithText(text.substr(pos), pattern, ignoreCase)) return pos;
  }
  return kNotFound;
}

std::vector<std::string> SplitText(std::string_view text, std::string_view separator) {
  std::vector<std::string> pieces;
  if (text.empty()) return pieces;
  if (separator.empty()) {
    pieces.emplace_back(text);
    return pieces;
  }
  std::size_t begin = 0;
  for (std::size_t hit = FindText(text, separator, 0); hit != kNotFound;
       hit = FindText(text, separator, begin)) {
    pieces.emplace_back(text.substr(begin, hit - begin));
    begin = hit + separator.size();
  }
  if (begin < text.size()) pieces.emplace_back(text.substr(begin));
  return pieces;
}

std::string ReplaceText(std::string_view text, std::string_view find, std::string_view replacement,
                        bool ignoreCase, std::optional<std::size_t> count, std::size_t from) {
  if (find.empty() || from >= text.size() || (count && *count == 0)) return std::string(text);
  std::string out(text.substr(0, from));
  std::size_t done = 0;
  std::size_t pos = from;
  while (pos < text.size()) {
    if (StartsWithText(text.substr(pos), find, ignoreCase)) {
      out += replacement;
      pos += find.size();
      if (count && ++done == *count) break;
      continue;
    }
    std::size_t n = UnitLength(text, pos);
    out += text.substr(pos, n);
    pos += n;
  }
  out += text.substr(pos);
  return out;
}

}  // namespace veltrox
