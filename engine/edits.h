#pragma once

#include <string>

#include "session.h"
#include "session_block.h"

namespace veltrox::proxy {
struct WebSocketMessage;
}

namespace veltrox::engine {

// Applies one edit of a send or recv event to the session; codes outside 1..15
// are not passed here. Texts are GB18030.
void ApplySessionEdit(proxy::Session& session, int code, const std::string& text1, const std::string& text2);

// Applies codes 15 and 16 to a WebSocket message; other codes change nothing.
void ApplyMessageEdit(proxy::WebSocketMessage& message, int code, const std::string& text1, const std::string& text2);

}  // namespace veltrox::engine
