#include "engine.h"

#include <array>
#include <memory>
#include <mutex>

#include "base64.h"
#include "body_text.h"
#include "desktop_proxy.h"
#include "edits.h"
#include "preferences.h"
#include "proxy.h"
#include "session_block.h"
#include "text_encoding.h"
#include "text_scan.h"
#include "websocket_frame.h"

namespace veltrox::engine {
namespace {

struct State {
  std::mutex control;  // Start and Stop, and the two members below
  proxy::Proxy proxy;
  DesktopProxy desktop;
  std::mutex settings;  // the fields below
  bool decryptHttps = false;
  bool registerSystemProxy = false;
  std::string base64Pattern;
};

State& TheState() {
  // Never destroyed: hook threads may still deliver while the process exits.
  static State* state = new State;
  return *state;
}

std::string Base64Pattern() {
  State& state = TheState();
  std::lock_guard lock(state.settings);
  return state.base64Pattern;
}

std::string Decimal(std::uint64_t n) { return std::to_string(n); }

// The further endpoint that speaks TLS as "localhost" beside the main port.
constexpr long long kLocalhostTlsPort = 7777;

// Sessions whose URL holds "443" anywhere are left alone.
bool Reported(const std::string& urlText) { return !ContainsText(urlText, "443"); }

// Word 5: the body bytes in base64 when the URL matches the stored pattern,
// otherwise the body with its content codings undone, as text. Sets `view`
// instead when the body bytes are already that text.
std::string BodyWord(const std::string& urlText, const std::string& rawBody, bool encoded, std::string decoded,
                     const std::string& contentType, const std::string*& view) {
  view = nullptr;
  std::string pattern = Base64Pattern();
  if (!pattern.empty() && ContainsText(urlText, pattern)) return Base64Encode(rawBody);
  std::string charset = CharsetOf(contentType);
  const std::string& body = encoded ? decoded : rawBody;
  if (!encoded && BodyIsItsOwnText(rawBody, charset)) {
    view = &rawBody;
    return {};
  }
  return BodyToText(body, charset);
}

void ApplyEdits(proxy::Session& session, std::uintptr_t slots) {
  for (const Edit& edit : ReadEdits(slots)) {
    if (edit.code < 1 || edit.code > 15) continue;
    session.DecodeResponseBody();
    ApplySessionEdit(session, edit.code, TextAt(edit.text1), TextAt(edit.text2));
    session.DecodeRequestBody();
  }
}

void DeliverSessionEvent(HookFunction hook, proxy::Session& session, EventType type) {
  std::string urlText = Utf8ToGb18030(session.FullUrl());
  if (!Reported(urlText)) return;
  const bool send = type == EventType::Send;
  std::string contentType = send ? session.requestHeaders.Get("Content-Type")
                                 : session.responseHeaders.Get("Content-Type");
  const std::string& rawBody = send ? session.requestBody : session.responseBody;
  const bool encoded = (send ? session.requestHeaders : session.responseHeaders).Has("Content-Encoding");
  std::string decoded;
  if (encoded) decoded = send ? session.DecodedRequestBody() : session.DecodedResponseBody();
  const std::string* bodyView = nullptr;
  std::uint64_t length = rawBody.size();
  if (send && session.requestBodyStreamed) length = session.requestBodyDeclaredLength;
  if (!send && session.responseBodyStreamed) length = session.responseBodyDeclaredLength;
  std::array<std::string, 7> texts = {
      urlText,
      Utf8ToGb18030(send ? session.RequestHeaderText() : session.ResponseHeaderText()),
      Utf8ToGb18030(session.requestHeaders.Get("Cookie")),
      Utf8ToGb18030(session.clientProcess),
      BodyWord(urlText, rawBody, encoded, std::move(decoded), contentType, bodyView),
      Utf8ToGb18030(session.responseHeaders.Get("Content-Type")),
      Decimal(length),
  };
  EventRecord record(std::move(texts), session.id, type);
  if (bodyView != nullptr) record.PointWordAt(4, bodyView->c_str());
  hook(record.BlockAddress(), record.SlotsAddress());
  // Reported sessions keep their response whole so that its edits can apply.
  if (send) session.bufferResponse = true;
  ApplyEdits(session, record.SlotsAddress());
}

void DeliverMessage(HookFunction hook, proxy::WebSocketMessage& message) {
  std::array<std::string, 7> texts = {
      proxy::WebSocketFrameTypeName(message.opcode),
      Decimal(message.opcode == 8 ? message.closeCode : 0),
      Decimal(message.id),
      message.fin ? "True" : "False",
      Utf8ToGb18030(message.payload),
      message.outbound ? "True" : "False",
      Decimal(message.payload.size()),
  };
  EventRecord record(std::move(texts), message.id, EventType::WebSocket);
  hook(record.BlockAddress(), record.SlotsAddress());
  for (const Edit& edit : ReadEdits(record.SlotsAddress())) {
    if (edit.code != 15 && edit.code != 16) continue;
    ApplyMessageEdit(message, edit.code, TextAt(edit.text1), TextAt(edit.text2));
  }
}

}  // namespace

Engine& Engine::Instance() {
  static Engine engine;
  return engine;
}

void Engine::SetDecryptHttps(bool on) {
  State& state = TheState();
  std::lock_guard lock(state.settings);
  state.decryptHttps = on;
}

void Engine::SetRegisterSystemProxy(bool on) {
  State& state = TheState();
  std::lock_guard lock(state.settings);
  state.registerSystemProxy = on;
}

void Engine::SetBase64Pattern(std::string pattern) {
  State& state = TheState();
  std::lock_guard lock(state.settings);
  state.base64Pattern = std::move(pattern);
}

bool Engine::Start(std::int32_t port, std::uintptr_t hookAddress) {
  State& state = TheState();
  std::lock_guard control(state.control);
  state.proxy.Stop();
  state.desktop.Restore();
  auto hook = reinterpret_cast<HookFunction>(hookAddress);
  auto listenPort = static_cast<std::uint16_t>(static_cast<std::uint32_t>(port) & 0xffff);
  if (listenPort == 0) return false;

  proxy::Preferences::SetBool("fiddler.network.streaming.abortifclientaborts", true);
  proxy::Settings settings;
  settings.port = listenPort;
  settings.allowRemoteClients = true;
  settings.localhostTlsPort = static_cast<std::uint16_t>(
      proxy::Preferences::GetInteger("veltrox.network.localhost.port", kLocalhostTlsPort) & 0xffff);
  bool registerSystemProxy = false;
  {
    std::lock_guard lock(state.settings);
    settings.decryptHttps = state.decryptHttps;
    registerSystemProxy = state.registerSystemProxy;
  }
  Chain chain = state.desktop.PrepareStart(listenPort);
  settings.upstreamProxy = std::move(chain.http);
  settings.secureUpstreamProxy = std::move(chain.https);
  // One set of handlers per start, replacing the last: every event reaches the
  // hook once however often the engine was restarted.
  proxy::Handlers handlers;
  if (hook != nullptr) {
    handlers.beforeRequest = [hook](proxy::Session& s) { DeliverSessionEvent(hook, s, EventType::Send); };
    handlers.beforeResponse = [hook](proxy::Session& s) { DeliverSessionEvent(hook, s, EventType::Recv); };
    handlers.webSocketMessage = [hook](proxy::Session&, proxy::WebSocketMessage& m) { DeliverMessage(hook, m); };
  }
  if (!state.proxy.Start(std::move(settings), std::move(handlers))) return false;
  if (registerSystemProxy) state.desktop.Register(state.proxy.Port());
  return true;
}

void Engine::Stop() {
  State& state = TheState();
  std::lock_guard control(state.control);
  state.proxy.Stop();
  state.desktop.Restore();
}

}  // namespace veltrox::engine
