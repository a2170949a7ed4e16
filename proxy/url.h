#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "proxy_export.h"

namespace veltrox::proxy {

// Where a request goes: scheme ("http", "https", "ws", "wss"; empty for a
// CONNECT tunnel), host without brackets, port, and the target (path and
// query, always beginning with '/').
struct VELTROX_PROXY_API Url {
  std::string scheme;
  std::string host;
  std::uint16_t port = 0;
  std::string target = "/";

  bool IsSecure() const { return scheme == "https" || scheme == "wss"; }
  // host, with brackets around an IPv6 address, and ":port" when it is not the
  // scheme's default (always for a tunnel).
  std::string Authority() const;
  // "scheme://authority/target", or "host:port" for a tunnel.
  std::string Full() const;
};

VELTROX_PROXY_API std::uint16_t DefaultPort(std::string_view scheme);

// "http://host[:port][/target]" (also https, ws, wss; scheme in any case). A
// missing target is "/". User information is refused, as is a port outside
// 1..65535, and so is any control byte. Query without a path ("http://h?q")
// gets the target "/?q".
VELTROX_PROXY_API std::optional<Url> ParseAbsoluteUrl(std::string_view text);

// "host:port" or "[v6]:port"; a missing port takes `defaultPort` (0: required).
VELTROX_PROXY_API std::optional<Url> ParseAuthority(std::string_view text, std::uint16_t defaultPort);

// The target as it goes on the wire: bytes that may not appear in a request
// line (controls, space, 0x80 and above) are percent-encoded, the rest kept.
VELTROX_PROXY_API std::string WireTarget(std::string_view target);

}  // namespace veltrox::proxy
