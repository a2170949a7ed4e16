#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// What the engine hands the hook for one event, and the record the hook works
// with. The engine and the program share one process: a record word is an
// address-sized unsigned integer, texts are addresses of zero-terminated
// GB18030 byte strings (0 reads as the empty text), and integers sit in the low
// 32 bits of their word.

namespace veltrox {

using RecordWord = std::uintptr_t;

// The session block: nine words.
inline constexpr std::size_t kBlockWords = 9;
inline constexpr std::size_t kBlockBytes = kBlockWords * sizeof(RecordWord);

// Word indexes (0-based) of the session block.
enum BlockWord : std::size_t {
  kWordUrl = 0,          // websocket: frame type name
  kWordHeaders = 1,      // websocket: close reason
  kWordCookie = 2,       // websocket: message number text
  kWordProcess = 3,      // websocket: "True"/"False" final frame
  kWordBody = 4,         // websocket: payload
  kWordContentType = 5,  // websocket: "True"/"False" outbound
  kWordBodyLength = 6,   // websocket: payload length
  kWordSessionId = 7,    // websocket: message number
  kWordTypeCode = 8,
};

inline constexpr std::int32_t kTypeRecv = 0;
inline constexpr std::int32_t kTypeSend = 1;
inline constexpr std::int32_t kTypeWebSocket = 2;

struct WebSocketInfo {
  std::string payload;
  std::string frameType;
  std::string direction;  // "recv" when the outbound flag is exactly "False", else "send"
  std::int32_t outboundValue = 0;
  std::int32_t messageId = 0;

  bool operator==(const WebSocketInfo&) const = default;
};

struct SessionInfo {
  std::string type;  // "send", "recv", "websocket", or empty for an unknown type code
  std::string url;
  std::string body;
  std::string headers;
  std::string contentType;
  std::int32_t bodyLength = 0;
  std::string cookie;
  std::string process;
  std::int32_t sessionId = 0;
  WebSocketInfo webSocket;

  bool operator==(const SessionInfo&) const = default;
};

// Copies the event at `blockAddress` into a record of its own. Address 0 gives
// an all-empty record. A websocket event fills only `type` and `webSocket`;
// every other type code fills the session fields and leaves `webSocket` empty.
SessionInfo DecodeSession(std::uintptr_t blockAddress);

// A number word's text read the way the C library reads a decimal number
// (leading blanks, sign, digits, fraction, exponent; it stops at the first
// character that does not fit; no number gives 0), truncated towards zero and
// cut to its low 32 bits. Independent of the process locale.
std::int32_t ReadNumberText(std::string_view text);

}  // namespace veltrox
