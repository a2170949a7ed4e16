#include "session_record.h"

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <locale.h>

namespace veltrox {
namespace {

// The window sets the user's locale, which would make strtod expect a decimal
// comma in some languages; the engine always writes the C form.
locale_t CLocale() {
  static locale_t locale = newlocale(LC_ALL_MASK, "C", nullptr);
  return locale;
}

std::string TextAt(RecordWord address) {
  if (address == 0) return {};
  return std::string(reinterpret_cast<const char*>(address));
}

std::int32_t LowBits(RecordWord word) { return static_cast<std::int32_t>(static_cast<std::uint32_t>(word)); }

}  // namespace

std::int32_t ReadNumberText(std::string_view text) {
  std::string terminated(text);
  double value = strtod_l(terminated.c_str(), nullptr, CLocale());
  double whole = std::trunc(value);
  if (!std::isfinite(whole)) return 0;
  // fmod is exact, so this keeps the low 32 bits of any whole number a double
  // can hold without the undefined conversion of an out-of-range value.
  constexpr double kTwo32 = 4294967296.0;
  double low = std::fmod(whole, kTwo32);
  if (low < 0) low += kTwo32;
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(low));
}

SessionInfo DecodeSession(std::uintptr_t blockAddress) {
  SessionInfo info;
  if (blockAddress == 0) return info;
  RecordWord word[kBlockWords];
  std::memcpy(word, reinterpret_cast<const void*>(blockAddress), sizeof word);

  if (LowBits(word[kWordTypeCode]) == kTypeWebSocket) {
    info.type = "websocket";
    WebSocketInfo& ws = info.webSocket;
    ws.payload = TextAt(word[kWordBody]);
    ws.frameType = TextAt(word[kWordUrl]);
    std::string outbound = TextAt(word[kWordContentType]);
    ws.direction = outbound == "False" ? "recv" : "send";
    ws.messageId = ReadNumberText(TextAt(word[kWordCookie]));
    ws.outboundValue = ReadNumberText(outbound);
    return info;
  }

  info.url = TextAt(word[kWordUrl]);
  info.headers = TextAt(word[kWordHeaders]);
  info.cookie = TextAt(word[kWordCookie]);
  info.process = TextAt(word[kWordProcess]);
  info.body = TextAt(word[kWordBody]);
  info.contentType = TextAt(word[kWordContentType]);
  info.bodyLength = ReadNumberText(TextAt(word[kWordBodyLength]));
  info.sessionId = LowBits(word[kWordSessionId]);
  switch (LowBits(word[kWordTypeCode])) {
    case kTypeSend: info.type = "send"; break;
    case kTypeRecv: info.type = "recv"; break;
    default: break;
  }
  return info;
}

}  // namespace veltrox
