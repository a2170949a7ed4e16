#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "proxy_export.h"

namespace veltrox::proxy {

enum class WebSocketOpcode : std::uint8_t {
  Continuation = 0,
  Text = 1,
  Binary = 2,
  Close = 8,
  Ping = 9,
  Pong = 10,
};

// The header of one frame as it came on the wire.
struct VELTROX_PROXY_API WebSocketFrameHeader {
  bool fin = true;
  std::uint8_t rsv = 0;  // the three reserved bits, as the low bits
  std::uint8_t opcode = 0;
  bool masked = false;
  std::array<std::uint8_t, 4> mask{};
  std::uint64_t payloadLength = 0;
  std::size_t headerLength = 0;  // bytes the header took on the wire
};

// Reads a frame header from the front of `data`. Nothing when more bytes are
// needed; `bad` is set for a header no peer may send (a 64-bit length with the
// top bit set, a control frame that is fragmented or longer than 125 bytes).
VELTROX_PROXY_API std::optional<WebSocketFrameHeader> ParseWebSocketFrameHeader(std::string_view data, bool& bad);

// XORs `payload` with the mask, starting at mask byte `offset % 4`.
VELTROX_PROXY_API void ApplyWebSocketMask(std::string& payload, const std::array<std::uint8_t, 4>& mask,
                                          std::uint64_t offset = 0);

// One whole frame: header (masked with `mask` when given) followed by the payload.
VELTROX_PROXY_API std::string EncodeWebSocketFrame(bool fin, std::uint8_t rsv, std::uint8_t opcode,
                                                   std::string_view payload,
                                                   const std::optional<std::array<std::uint8_t, 4>>& mask);

// "Text", "Binary", "Close", "Ping", "Pong", "Continuation"; the number for any other opcode.
VELTROX_PROXY_API std::string WebSocketFrameTypeName(std::uint8_t opcode);

}  // namespace veltrox::proxy
