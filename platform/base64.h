#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace veltrox {

// Standard base64 (RFC 4648 alphabet, "=" padding, no line breaks).
std::string Base64Encode(std::string_view bytes);

// The bytes, or nothing when `text` is not valid padded base64. Blanks and line
// breaks are not accepted.
std::optional<std::string> Base64Decode(std::string_view text);

}  // namespace veltrox
