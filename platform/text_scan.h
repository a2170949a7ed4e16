#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The one scanning rule of the tool: a byte of 0x80 or above begins a two-byte
// unit, and searches, splits and replacements match only where a unit begins.
// A four-byte GB18030 character is two such units, so no match ever starts
// inside any character. Positions here are 0-based byte offsets; routines that
// speak 1-based positions convert at their edge.

namespace veltrox {

inline constexpr std::size_t kNotFound = std::string_view::npos;

inline bool IsLeadByte(char c) { return static_cast<unsigned char>(c) >= 0x80; }

// Length of the unit that begins at `pos`: 2 for a lead byte with a byte after
// it, otherwise 1.
inline std::size_t UnitLength(std::string_view text, std::size_t pos) {
  return IsLeadByte(text[pos]) && pos + 1 < text.size() ? 2 : 1;
}

inline char ToUpperAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }
inline char ToLowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
std::string ToUpperAscii(std::string_view text);

// Byte equality, or equality with A-Z and a-z taken as equal.
bool EqualsText(std::string_view a, std::string_view b, bool ignoreCase);
bool StartsWithText(std::string_view text, std::string_view prefix, bool ignoreCase);

// First match of `pattern` at a unit start at or after `from` (which is taken as
// a unit start). An empty pattern never matches.
std::size_t FindText(std::string_view text, std::string_view pattern, std::size_t from = 0,
                     bool ignoreCase = false);
inline bool ContainsText(std::string_view text, std::string_view pattern, bool ignoreCase = false) {
  return FindText(text, pattern, 0, ignoreCase) != kNotFound;
}

// Splits at every separator: empty pieces are kept between separators and at
// the start, none is made after a final separator, and an empty text gives no
// pieces. An empty separator gives the whole text as one piece.
std::vector<std::string> SplitText(std::string_view text, std::string_view separator);

// Replaces matches of `find` left to right from `from`, at most `count` of them
// when given; replaced text is never scanned again. The bytes in front of
// `from` are copied unchanged. An empty `find` changes nothing.
std::string ReplaceText(std::string_view text, std::string_view find, std::string_view replacement,
                        bool ignoreCase = false, std::optional<std::size_t> count = std::nullopt,
                        std::size_t from = 0);

}  // namespace veltrox
