// DecodeSession on blocks whose words hold random numbers and addresses of
// random texts: nothing crashes, every text comes back as it was, and the
// record is filled as its type code says.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "session_record.h"

using namespace veltrox;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::uintptr_t type = data[0] % 4;
  const std::uint8_t zeroWords = data[1];  // which text words are 0
  std::string_view rest(reinterpret_cast<const char*>(data + 2), size - 2);
  std::vector<std::string> texts(7);
  for (std::string& text : texts) {
    std::size_t zero = rest.find('\0');
    text = std::string(rest.substr(0, zero));
    rest = zero == std::string_view::npos ? std::string_view() : rest.substr(zero + 1);
  }
  std::uintptr_t block[9] = {};
  for (int i = 0; i < 7; ++i) {
    block[i] = (zeroWords >> i) & 1 ? 0 : reinterpret_cast<std::uintptr_t>(texts[i].c_str());
  }
  block[7] = static_cast<std::uintptr_t>(size) * 2654435761u;
  block[8] = type;
  const SessionInfo info = DecodeSession(reinterpret_cast<std::uintptr_t>(block));
  auto text = [&](int word) { return (zeroWords >> (word - 1)) & 1 ? std::string() : texts[word - 1]; };
  if (type == 2) {
    if (info.type != "websocket" || info.webSocket.payload != text(5) || info.webSocket.frameType != text(1) ||
        !info.url.empty() || info.sessionId != 0) {
      std::abort();
    }
  } else {
    if (info.url != text(1) || info.headers != text(2) || info.body != text(5) || !info.webSocket.payload.empty()) {
      std::abort();
    }
    if ((type == 1) != (info.type == "send") || (type == 0) != (info.type == "recv")) std::abort();
  }
  return 0;
}
