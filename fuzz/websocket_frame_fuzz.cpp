// Bytes as a stream of WebSocket frames through the core's frame codec.
// The first two bytes choose a split point: each frame header is parsed from
// the bytes before it first, as if the rest had not arrived yet, and that
// parse must either ask for more or agree with the parse of the whole. Every
// whole frame goes back through the writer and parses to the same frame; with
// the shortest length form, to the same bytes. Unmasking in two pieces at the
// split point gives what unmasking at once gives.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "websocket_frame.h"

using namespace veltrox::proxy;

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

bool Same(const WebSocketFrameHeader& a, const WebSocketFrameHeader& b) {
  return a.fin == b.fin && a.rsv == b.rsv && a.opcode == b.opcode && a.masked == b.masked &&
         (!a.masked || a.mask == b.mask) && a.payloadLength == b.payloadLength;
}

std::size_t ShortestHeader(const WebSocketFrameHeader& h) {
  std::size_t length = h.payloadLength < 126 ? 2 : h.payloadLength <= 0xffff ? 4 : 10;
  return length + (h.masked ? 4 : 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::size_t split = (std::size_t{data[0]} << 8) | data[1];
  std::string_view rest(reinterpret_cast<const char*>(data + 2), size - 2);
  while (!rest.empty()) {
    bool bad = false;
    const auto whole = ParseWebSocketFrameHeader(rest, bad);
    const bool wholeBad = bad;
    Check(!(whole && bad));
    const std::size_t cut = split % (rest.size() + 1);
    const auto early = ParseWebSocketFrameHeader(rest.substr(0, cut), bad);
    if (early) {
      Check(whole && Same(*early, *whole) && early->headerLength == whole->headerLength);
      Check(early->headerLength <= cut);
    } else if (bad) {
      Check(wholeBad);
    }
    if (!whole) return 0;
    Check(whole->headerLength <= rest.size());
    if (whole->payloadLength > rest.size() - whole->headerLength) return 0;
    const std::size_t total = whole->headerLength + static_cast<std::size_t>(whole->payloadLength);
    const std::string_view frame = rest.substr(0, total);

    std::string payload(frame.substr(whole->headerLength));
    if (whole->masked) {
      std::string pieces = payload;
      std::string front = pieces.substr(0, cut % (pieces.size() + 1));
      std::string back = pieces.substr(front.size());
      ApplyWebSocketMask(front, whole->mask);
      ApplyWebSocketMask(back, whole->mask, front.size());
      ApplyWebSocketMask(payload, whole->mask);
      Check(front + back == payload);
    }
    std::optional<std::array<std::uint8_t, 4>> mask;
    if (whole->masked) mask = whole->mask;
    const std::string written = EncodeWebSocketFrame(whole->fin, whole->rsv, whole->opcode, payload, mask);
    const auto again = ParseWebSocketFrameHeader(written, bad);
    Check(again && !bad && Same(*again, *whole) && again->headerLength == ShortestHeader(*whole));
    Check(written.size() == again->headerLength + payload.size());
    if (whole->headerLength == ShortestHeader(*whole)) Check(written == frame);
    rest.remove_prefix(total);
  }
  return 0;
}
