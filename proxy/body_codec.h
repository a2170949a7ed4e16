#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "proxy_export.h"

namespace veltrox::proxy {

// Undoes one content coding ("gzip", "x-gzip", "deflate", "br"). Nothing when
// the coding is unknown, the data is not valid for it, or the decoded bytes
// would exceed `limit` (a small compressed body must not expand without bound).
VELTROX_PROXY_API std::optional<std::string> DecodeContent(std::string_view coding, std::string_view data,
                                                           std::size_t limit);

// The inverse for "gzip", "deflate" and "br"; used by tests and by nothing that
// answers clients.
VELTROX_PROXY_API std::optional<std::string> EncodeContent(std::string_view coding, std::string_view data);

}  // namespace veltrox::proxy
