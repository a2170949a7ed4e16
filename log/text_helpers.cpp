#include "text_helpers.h"

#include "text_encoding.h"
#include "text_scan.h"

namespace veltrox {
namespace {

std::size_t StartOffset(int from) { return from < 1 ? 0 : static_cast<std::size_t>(from - 1); }

std::string WithQuotes(std::string_view marker) {
  static const std::string kQuoteName = Gb(u8"#引号");
  return ReplaceText(marker, kQuoteName, "\"");
}

// `from` may point anywhere; searches begin at the first character start at or after it.
std::size_t AlignToCharacter(std::string_view text, std::size_t from) {
  std::size_t pos = 0;
  while (pos < from && pos < text.size()) pos += UnitLength(text, pos);
  return pos;
}

}  // namespace

bool IsSpaceAt(std::string_view text, std::size_t pos) {
  if (pos >= text.size()) return false;
  if (text[pos] == ' ') return true;
  return text.substr(pos, 2) == "\xA1\xA1";
}

std::string TextBetween(std::string_view text, std::string_view startMarker, std::string_view endMarker, int from,
                        bool ignoreCase) {
  const std::string start = WithQuotes(startMarker);
  const std::string end = WithQuotes(endMarker);
  const std::size_t at = FindText(text, start, AlignToCharacter(text, StartOffset(from)), ignoreCase);
  if (at == kNotFound) return {};
  const std::size_t q = at + start.size();
  const std::size_t stop = FindText(text, end, q, ignoreCase);
  if (stop == kNotFound) return {};
  return std::string(text.substr(q, stop - q));
}

std::string TextBefore(std::string_view text, std::string_view marker, int from, bool ignoreCase) {
  const std::size_t at = FindText(text, marker, AlignToCharacter(text, StartOffset(from)), ignoreCase);
  if (at == kNotFound) return {};
  return std::string(text.substr(0, at));
}

std::string HeaderName(std::string_view line) {
  const std::size_t colon = FindText(line, ":");
  return colon == kNotFound ? std::string() : Trim(line.substr(0, colon));
}

std::string HeaderValue(std::string_view line) {
  const std::size_t colon = FindText(line, ":");
  return colon == kNotFound ? std::string() : Trim(line.substr(colon + 1));
}

std::string Trim(std::string_view text) {
  std::size_t begin = 0;
  while (IsSpaceAt(text, begin)) begin += UnitLength(text, begin);
  std::size_t end = begin;
  for (std::size_t pos = begin; pos < text.size(); pos += UnitLength(text, pos)) {
    if (!IsSpaceAt(text, pos)) end = pos + UnitLength(text, pos);
  }
  return std::string(text.substr(begin, end - begin));
}

}  // namespace veltrox
