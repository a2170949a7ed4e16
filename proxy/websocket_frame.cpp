#include "websocket_frame.h"

namespace veltrox::proxy {

std::optional<WebSocketFrameHeader> ParseWebSocketFrameHeader(std::string_view data, bool& bad) {
  bad = false;
  if (data.size() < 2) return std::nullopt;
  auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(data[i]); };
  WebSocketFrameHeader h;
  h.fin = (byte(0) & 0x80) != 0;
  h.rsv = static_cast<std::uint8_t>((byte(0) >> 4) & 0x07);
  h.opcode = byte(0) & 0x0f;
  h.masked = (byte(1) & 0x80) != 0;
  std::uint64_t length = byte(1) & 0x7f;
  std::size_t at = 2;
  if (length == 126) {
    if (data.size() < at + 2) return std::nullopt;
    length = (std::uint64_t{byte(2)} << 8) | byte(3);
    at += 2;
  } else if (length == 127) {
    if (data.size() < at + 8) return std::nullopt;
    length = 0;
    for (std::size_t i = 0; i < 8; ++i) length = (length << 8) | byte(2 + i);
    at += 8;
    if (length >> 63) {
      bad = true;
      return std::nullopt;
    }
  }
  if (h.opcode >= 8 && (!h.fin || length > 125)) {
    bad = true;
    return std::nullopt;
  }
  if (h.masked) {
    if (data.size() < at + 4) return std::nullopt;
    for (std::size_t i = 0; i < 4; ++i) h.mask[i] = byte(at + i);
    at += 4;
  }
  h.payloadLength = length;
  h.headerLength = at;
  return h;
}

void ApplyWebSocketMask(std::string& payload, const std::array<std::uint8_t, 4>& mask, std::uint64_t offset) {
  for (std::size_t i = 0; i < payload.size(); ++i) {
    payload[i] = static_cast<char>(static_cast<std::uint8_t>(payload[i]) ^ mask[(offset + i) & 3]);
  }
}

std::string EncodeWebSocketFrame(bool fin, std::uint8_t rsv, std::uint8_t opcode, std::string_view payload,
                                 const std::optional<std::array<std::uint8_t, 4>>& mask) {
  std::string out;
  out += static_cast<char>((fin ? 0x80 : 0) | ((rsv & 7) << 4) | (opcode & 0x0f));
  std::uint8_t maskBit = mask ? 0x80 : 0;
  std::uint64_t n = payload.size();
  if (n < 126) {
    out += static_cast<char>(maskBit | n);
  } else if (n <= 0xffff) {
    out += static_cast<char>(maskBit | 126);
    out += static_cast<char>(n >> 8);
    out += static_cast<char>(n & 0xff);
  } else {
    out += static_cast<char>(maskBit | 127);
    for (int i = 7; i >= 0; --i) out += static_cast<char>((n >> (8 * i)) & 0xff);
  }
  std::string body(payload);
  if (mask) {
    for (std::uint8_t b : *mask) out += static_cast<char>(b);
    ApplyWebSocketMask(body, *mask);
  }
  out += body;
  return out;
}

std::string WebSocketFrameTypeName(std::uint8_t opcode) {
  switch (static_cast<WebSocketOpcode>(opcode)) {
    case WebSocketOpcode::Continuation: return "Continuation";
    case WebSocketOpcode::Text: return "Text";
    case WebSocketOpcode::Binary: return "Binary";
    case WebSocketOpcode::Close: return "Close";
    case WebSocketOpcode::Ping: return "Ping";
    case WebSocketOpcode::Pong: return "Pong";
  }
  return std::to_string(opcode);
}

}  // namespace veltrox::proxy
