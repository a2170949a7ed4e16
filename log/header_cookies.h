#pragma once

#include <string>
#include <string_view>
#include <vector>

// Header-name normalisation and cookie merging around a request. GB18030
// texts; none of these fail.

namespace veltrox {

// Drops the lines without a colon (empty lines with them) and gives every
// header name the usual capitals: its first character and each character
// behind a "-" become upper case when they are ASCII letters. The rest of
// each line stays byte for byte. Lines are joined by CR LF, with none at the end.
std::string NormaliseHeaderNames(std::string_view headers);

// Upper-cases the first byte when it is an ASCII letter a to z.
std::string CapitaliseFirst(std::string_view text);

// Merges the cookies that were sent with those the response set: the
// response's items come first and win over sent items of the same name, items
// ending in "=deleted" go, and repeated items are reduced to one. On return
// `sent` holds the result and `received` its input without spaces.
std::string MergeCookies(std::string& sent, std::string& received);

// The trimmed part of a cookie item in front of its first "=" (the whole item
// when it has none).
std::string CookieName(std::string_view item);
bool HasCookie(const std::vector<std::string>& items, std::string_view name);

// The text's pieces at `separator`, each kept only once, joined again.
std::string UniqueItems(std::string_view text, std::string_view separator);

// 1-based position of the first item equal to `text`, or -1.
int FindItem(const std::vector<std::string>& items, std::string_view text);

// The text without any ASCII blank or ideographic space.
std::string RemoveAllSpaces(std::string_view text);

}  // namespace veltrox
