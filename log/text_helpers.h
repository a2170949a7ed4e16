#pragma once

#include <string>
#include <string_view>

// Small text routines of the request routine and the clock. Texts are GB18030
// bytes and are scanned by characters (platform/text_scan.h); positions are
// 1-based, and `from` below 1 means 1.

namespace veltrox {

// The text strictly between the first `startMarker` at or after `from` and the
// next `endMarker` behind it; "" when either is missing. "#引号" in a marker
// stands for a double quote, so that a marker can name one.
std::string TextBetween(std::string_view text, std::string_view startMarker, std::string_view endMarker,
                        int from = 1, bool ignoreCase = false);

// The text in front of the first `marker` at or after `from`; "" when the
// marker is missing or stands at the start.
std::string TextBefore(std::string_view text, std::string_view marker, int from = 1, bool ignoreCase = false);

// The trimmed parts in front of and behind the first colon of a header line;
// both "" when the line has no colon. The value keeps any further colons.
std::string HeaderName(std::string_view line);
std::string HeaderValue(std::string_view line);

// Removes ASCII blanks and ideographic spaces (A1 A1) from both ends; tabs and
// line breaks stay.
std::string Trim(std::string_view text);

// True for an ASCII blank or an ideographic space at `pos` (a character start).
bool IsSpaceAt(std::string_view text, std::size_t pos);

}  // namespace veltrox
