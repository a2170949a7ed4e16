#pragma once

#include <string>
#include <string_view>

namespace veltrox::engine {

// The charset parameter of a Content-Type value, lower-cased; "utf-8" when it
// names none.
std::string CharsetOf(std::string_view contentType);

// Body bytes in `charset` as the tool's GB18030 text, and back. An unknown
// charset is read as UTF-8.
std::string BodyToText(std::string_view bytes, std::string_view charset);
// True when BodyToText would return the bytes unchanged.
bool BodyIsItsOwnText(std::string_view bytes, std::string_view charset);
std::string TextToBody(std::string_view text, std::string_view charset);

// Replaces every occurrence of the GB18030 text `find` in body bytes of
// `charset` by `replacement`, without converting the rest of the body, so
// that bytes the charset cannot express stay as they were.
std::string ReplaceInBody(std::string_view body, std::string_view charset, std::string_view find,
                          std::string_view replacement);

}  // namespace veltrox::engine
