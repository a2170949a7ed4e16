#include <openssl/rand.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <limits>
#include <optional>
#include <type_traits>

#include "certificates.h"
#include "local_process.h"
#include "message_head.h"
#include "preferences.h"
#include "runtime.h"
#include "text_scan.h"
#include "websocket_frame.h"

namespace veltrox::proxy {
namespace {

using asio::redirect_error;
using asio::use_awaitable;

constexpr std::size_t kPiece = 64 * 1024;
// Bodies are capped by the session logic, not the parser. (Beast 1.74 compares
// an empty optional limit as smaller than every length, so "none" cannot be used.)
constexpr std::uint64_t kNoBodyLimit = std::numeric_limits<std::uint64_t>::max();

struct ClientInfo {
  std::string address;
  tcp::endpoint peer, local;  // the connection's two ends, as this side sees them
  bool loopback = false;
  std::optional<std::string> process;  // looked up once, on a hook thread
  // Inside a decrypted tunnel, origin-form requests go to this origin.
  std::optional<Url> tunnelOrigin;
  // On the localhost TLS listener origin-form requests go to https://Host.
  bool tlsListener = false;
};

template <class Stream>
beast::tcp_stream& Lowest(Stream& stream) {
  return beast::get_lowest_layer(stream);
}

template <class Stream>
void HalfClose(Stream& stream) {
  error_code ec;
  if constexpr (std::is_same_v<Stream, beast::tcp_stream>) {
    stream.socket().shutdown(tcp::socket::shutdown_send, ec);
  } else {
    Lowest(stream).socket().close(ec);
  }
}

template <class Stream>
void CloseStream(Stream& stream) {
  error_code ec;
  Lowest(stream).socket().close(ec);
}

// How long a client connection may wait for, or take over, its next request head.
std::chrono::milliseconds ClientTimeout(const Settings& settings) {
  return std::chrono::milliseconds(
      Preferences::GetInteger("veltrox.network.timeout.idle.ms", settings.idleTimeout.count()));
}

std::string ReasonFor(int status) { return std::string(http::obsolete_reason(static_cast<http::status>(status))); }

template <class Stream>
asio::awaitable<error_code> WriteAll(Stream& stream, std::string_view bytes) {
  error_code ec;
  co_await asio::async_write(stream, asio::buffer(bytes.data(), bytes.size()), redirect_error(use_awaitable, ec));
  co_return ec;
}

// A short answer of the proxy's own; `cause` becomes its text body.
template <class Stream>
asio::awaitable<void> SendError(Stream& stream, int status, std::string_view cause, bool close) {
  std::string body = std::to_string(status) + " " + ReasonFor(status) + "\r\n" + std::string(cause) + "\r\n";
  std::string out = "HTTP/1.1 " + std::to_string(status) + " " + ReasonFor(status) +
                    "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " + std::to_string(body.size()) +
                    "\r\n" + (close ? "Connection: close\r\n" : "") + "\r\n" + body;
  co_await WriteAll(stream, out);
  if (close) HalfClose(stream);
}

// Room for one read of a body: as much as a known length still needs, at most
// kPiece. Not zero-filled: most responses are small, and clearing 64 KiB per
// request showed as the largest cost of the whole proxy.
template <bool isRequest>
std::unique_ptr<char[]> PieceFor(const http::parser<isRequest, http::buffer_body>& parser, std::size_t& size) {
  size = kPiece;
  if (auto remaining = parser.content_length_remaining(); remaining && *remaining < size) {
    size = std::max<std::size_t>(static_cast<std::size_t>(*remaining), 1);
  }
  return std::unique_ptr<char[]>(new char[size]);
}

// Beast reads into the free room of the connection's buffer, which after a
// header is a few hundred bytes: a large body would take a read call per
// packet. Bodies of unknown or larger length get a 64 KiB buffer first.
template <bool isRequest>
void RoomForBody(beast::flat_buffer& buffer, const http::parser<isRequest, http::buffer_body>& parser) {
  auto remaining = parser.content_length_remaining();
  if ((!remaining || *remaining > 8192) && buffer.capacity() - buffer.size() < kPiece) {
    buffer.reserve(buffer.size() + kPiece);
  }
}

// Reads body bytes into `out` until the message ends or `out` holds more than
// `limit` bytes. `timed` gets `timeout` again before every read.
template <class Stream, bool isRequest>
asio::awaitable<error_code> ReadBody(Stream& stream, beast::flat_buffer& buffer,
                                     http::parser<isRequest, http::buffer_body>& parser, std::string& out,
                                     std::size_t limit, std::chrono::milliseconds timeout) {
  if (parser.is_done()) co_return error_code{};
  RoomForBody(buffer, parser);
  std::size_t size = 0;
  auto piece = PieceFor(parser, size);
  // Room for the whole body, or for the cap and the one byte that tells a
  // longer body: growing a string of the cap's size would copy it.
  if (auto length = parser.content_length()) out.reserve(*length <= limit ? *length : std::uint64_t{limit} + 1);
  while (!parser.is_done() && out.size() <= limit) {
    // Never more than one byte past the limit: that byte tells a body over the cap.
    std::size_t room = limit - out.size() < size ? limit - out.size() + 1 : size;
    parser.get().body().data = piece.get();
    parser.get().body().size = room;
    error_code ec;
    Lowest(stream).expires_after(timeout);
    co_await http::async_read(stream, buffer, parser, redirect_error(use_awaitable, ec));
    Lowest(stream).expires_never();
    out.append(piece.get(), room - parser.get().body().size);
    if (ec == http::error::need_buffer) ec = {};
    if (ec) co_return ec;
  }
  co_return error_code{};
}

void AppendChunk(std::string& out, std::string_view data) {
  if (data.empty()) return;
  char size[32];
  std::snprintf(size, sizeof size, "%zx\r\n", data.size());
  out += size;
  out += data;
  out += "\r\n";
}

enum class StreamFailure { None, Reader, Writer };

// Passes the rest of a body from `in` to `out`: `prefix` first, then what the
// parser yields, chunk-framed when `chunked`.
template <class In, class Out, bool isRequest>
asio::awaitable<StreamFailure> StreamBody(In& in, beast::flat_buffer& buffer,
                                          http::parser<isRequest, http::buffer_body>& parser, Out& out,
                                          std::string_view prefix, bool chunked, std::chrono::milliseconds timeout) {
  std::string frame;
  if (chunked) {
    AppendChunk(frame, prefix);
    if (!frame.empty() && co_await WriteAll(out, frame)) co_return StreamFailure::Writer;
  } else if (!prefix.empty()) {
    // Written from where it lies: a held part can be as large as the memory cap.
    if (co_await WriteAll(out, prefix)) co_return StreamFailure::Writer;
  }
  RoomForBody(buffer, parser);
  std::size_t size = 0;
  auto piece = PieceFor(parser, size);
  while (!parser.is_done()) {
    parser.get().body().data = piece.get();
    parser.get().body().size = size;
    error_code ec;
    Lowest(in).expires_after(timeout);
    co_await http::async_read(in, buffer, parser, redirect_error(use_awaitable, ec));
    Lowest(in).expires_never();
    if (ec == http::error::need_buffer) ec = {};
    if (ec) co_return StreamFailure::Reader;
    std::size_t got = size - parser.get().body().size;
    if (got == 0) continue;
    std::string_view data(piece.get(), got);
    if (chunked) {
      frame.clear();
      AppendChunk(frame, data);
      if (co_await WriteAll(out, frame)) co_return StreamFailure::Writer;
    } else if (co_await WriteAll(out, data)) {
      co_return StreamFailure::Writer;
    }
  }
  if (chunked) {
    if (co_await WriteAll(out, std::string_view("0\r\n\r\n"))) co_return StreamFailure::Writer;
  }
  co_return StreamFailure::None;
}

bool IsHopByHop(std::string_view name) {
  static const char* const kNames[] = {"Connection", "Proxy-Connection", "Keep-Alive", "TE", "Trailer",
                                       "Transfer-Encoding", "Upgrade", "Proxy-Authorization", "Content-Length"};
  for (const char* n : kNames) {
    if (EqualsText(name, n, true)) return true;
  }
  return false;
}

// The header fields that go on: end-to-end fields only, and none that the
// Connection header names.
std::string EndToEnd(const HeaderList& headers) {
  std::vector<std::string> named;
  for (const auto& [name, value] : headers.Entries()) {
    if (!EqualsText(name, "Connection", true) && !EqualsText(name, "Proxy-Connection", true)) continue;
    for (std::string& token : SplitText(value, ",")) {
      std::size_t b = token.find_first_not_of(" \t");
      std::size_t e = token.find_last_not_of(" \t");
      if (b != std::string::npos) named.push_back(token.substr(b, e - b + 1));
    }
  }
  std::string out;
  for (const auto& [name, value] : headers.Entries()) {
    if (IsHopByHop(name)) continue;
    bool listed = false;
    for (const std::string& n : named) listed = listed || EqualsText(n, name, true);
    if (listed) continue;
    out += name;
    out += ": ";
    out += value;
    out += "\r\n";
  }
  return out;
}

bool IsWebSocketUpgrade(const HeaderList& headers) {
  return headers.HasToken("Connection", "upgrade") && EqualsText(headers.Get("Upgrade"), "websocket", true);
}

bool Bodiless(const Session& session) {
  return session.method == "HEAD" || session.status == 204 || session.status == 304 ||
         (session.status >= 100 && session.status < 200);
}

std::array<std::uint8_t, 4> RandomMask() {
  std::array<std::uint8_t, 4> mask{};
  if (RAND_bytes(mask.data(), static_cast<int>(mask.size())) != 1) mask = {0x37, 0xfa, 0x21, 0x3d};
  return mask;
}

void FillProcess(ClientInfo& info, Session& session) {
  if (!info.process) info.process = info.loopback ? DescribeLocalProcess(info.peer, info.local) : std::string();
  session.clientProcess = *info.process;
}

// Shared by the two directions of one WebSocket.
struct WebSocketState {
  std::uint32_t frames = 0;
  bool oneDone = false;
};

// Relays frames from `in` to `out`, each reported to the handler and re-framed
// when it changed.
template <class In, class Out>
asio::awaitable<void> RelayFrames(Runtime& runtime, std::shared_ptr<Session> session,
                                  std::shared_ptr<WebSocketState> state, In& in, beast::flat_buffer& buffer, Out& out,
                                  bool outbound) {
  const std::size_t limit = runtime.settings.bodyMemoryLimit;
  error_code ec;
  auto fill = [&]() -> asio::awaitable<bool> {
    auto space = buffer.prepare(kPiece);
    std::size_t n = co_await in.async_read_some(space, redirect_error(use_awaitable, ec));
    buffer.commit(n);
    co_return !ec;
  };
  for (;;) {
    bool bad = false;
    std::optional<WebSocketFrameHeader> header;
    for (;;) {
      const auto data = buffer.cdata();
      header = ParseWebSocketFrameHeader(std::string_view(static_cast<const char*>(data.data()), data.size()), bad);
      if (header || bad) break;
      if (!co_await fill()) break;
    }
    if (!header) {
      if (bad) {
        CloseStream(in);
        CloseStream(out);
      } else {
        HalfClose(out);
      }
      co_return;
    }
    if (header->payloadLength > limit) {
      // Too large to hold: passed on untouched and unreported as it arrives.
      std::uint64_t left = header->headerLength + header->payloadLength;
      while (left > 0) {
        if (buffer.size() == 0) {
          bool more = co_await fill();
          if (!more) {
            CloseStream(out);
            co_return;
          }
        }
        std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, buffer.size()));
        const auto data = buffer.cdata();
        if (co_await WriteAll(out, std::string_view(static_cast<const char*>(data.data()), n))) {
          CloseStream(in);
          co_return;
        }
        buffer.consume(n);
        left -= n;
      }
      continue;
    }
    std::size_t total = header->headerLength + static_cast<std::size_t>(header->payloadLength);
    while (buffer.size() < total) {
      if (!co_await fill()) {
        CloseStream(out);
        co_return;
      }
    }
    const auto data = buffer.cdata();
    std::string raw(static_cast<const char*>(data.data()), total);
    buffer.consume(total);

    std::string payload = raw.substr(header->headerLength);
    if (header->masked) ApplyWebSocketMask(payload, header->mask);
    WebSocketMessage message;
    message.id = ++state->frames;
    message.outbound = outbound;
    message.fin = header->fin;
    message.opcode = header->opcode;
    bool isClose = header->opcode == static_cast<std::uint8_t>(WebSocketOpcode::Close);
    if (isClose && payload.size() >= 2) {
      message.closeCode = static_cast<std::uint16_t>((static_cast<std::uint8_t>(payload[0]) << 8) |
                                                     static_cast<std::uint8_t>(payload[1]));
      message.payload = payload.substr(2);
    } else {
      message.payload = payload;
    }
    std::string_view sent = raw;
    std::string reframed;
    if (runtime.handlers.webSocketMessage) {
      std::string before = message.payload;
      co_await RunHandler(runtime, [&] { runtime.handlers.webSocketMessage(*session, message); });
      if (runtime.stopping.load()) co_return;
      if (message.payload != before) {
        std::string newPayload = message.payload;
        if (isClose && payload.size() >= 2) newPayload = payload.substr(0, 2) + newPayload;
        // A control frame may carry at most 125 bytes; a longer edit would make
        // the peer drop the connection, so the frame goes on as it came.
        if (header->opcode < 8 || newPayload.size() <= 125) {
          std::optional<std::array<std::uint8_t, 4>> mask;
          if (header->masked) mask = RandomMask();
          reframed = EncodeWebSocketFrame(header->fin, header->rsv, header->opcode, newPayload, mask);
          sent = reframed;
        }
      }
    }
    if (co_await WriteAll(out, sent)) {
      CloseStream(in);
      co_return;
    }
  }
}

template <class Client, class Server>
asio::awaitable<void> RelayWebSocket(Runtime& runtime, std::shared_ptr<Session> session, Client& client,
                                     beast::flat_buffer& clientBuffer, Server& server,
                                     beast::flat_buffer& serverBuffer) {
  auto state = std::make_shared<WebSocketState>();
  auto executor = co_await asio::this_coro::executor;
  auto done = std::make_shared<asio::steady_timer>(executor, asio::steady_timer::time_point::max());
  asio::co_spawn(
      executor,
      [&runtime, session, state, &server, &serverBuffer, &client, done]() -> asio::awaitable<void> {
        co_await RelayFrames(runtime, session, state, server, serverBuffer, client, false);
        state->oneDone = true;
        done->cancel();
      },
      asio::detached);
  co_await RelayFrames(runtime, session, state, client, clientBuffer, server, true);
  if (!state->oneDone) {
    error_code ec;
    co_await done->async_wait(redirect_error(use_awaitable, ec));
  }
}

std::string RequestHead(const Session& s, bool absoluteForm, bool upgrade, bool streamed, bool chunked) {
  std::string out = s.method + " " + (absoluteForm ? WireTarget(s.url.Full()) : WireTarget(s.url.target)) +
                    " HTTP/1.1\r\n";
  if (!s.requestHeaders.Has("Host")) out += "Host: " + s.url.Authority() + "\r\n";
  out += EndToEnd(s.requestHeaders);
  if (streamed) {
    out += chunked ? "Transfer-Encoding: chunked\r\n"
                   : "Content-Length: " + std::to_string(s.requestBodyDeclaredLength) + "\r\n";
  } else if (!s.requestBody.empty() || s.requestHeaders.Has("Content-Length") ||
             s.requestHeaders.Has("Transfer-Encoding") || s.method == "POST" || s.method == "PUT") {
    out += "Content-Length: " + std::to_string(s.requestBody.size()) + "\r\n";
  }
  if (upgrade) out += "Connection: Upgrade\r\nUpgrade: websocket\r\n";
  out += "\r\n";
  return out;
}

// How a response travels to the client.
struct ResponseFraming {
  bool whole = false;         // Content-Length of the held body
  bool chunked = false;       // chunk-framed as it streams
  bool lengthKnown = false;   // Content-Length as the server gave it
  bool closeAfter = false;    // the connection's end marks the body's end
};

std::string ResponseHead(const Session& s, const ResponseFraming& framing, std::optional<std::uint64_t> length,
                         bool closeClient, bool upgraded) {
  std::string out = "HTTP/1.1 " + std::to_string(s.status) + " " + s.reason + "\r\n";
  out += EndToEnd(s.responseHeaders);
  if (upgraded) {
    out += "Connection: Upgrade\r\nUpgrade: websocket\r\n";
  } else if (Bodiless(s)) {
    std::string given = s.responseHeaders.Get("Content-Length");
    if (!given.empty() && s.method == "HEAD") out += "Content-Length: " + given + "\r\n";
  } else if (framing.whole) {
    out += "Content-Length: " + std::to_string(s.responseBody.size()) + "\r\n";
  } else if (framing.chunked) {
    out += "Transfer-Encoding: chunked\r\n";
  } else if (framing.lengthKnown && length) {
    out += "Content-Length: " + std::to_string(*length) + "\r\n";
  }
  if (closeClient && !upgraded) out += "Connection: close\r\n";
  else if (!upgraded && s.httpVersion == 10) out += "Connection: keep-alive\r\n";
  out += "\r\n";
  return out;
}

template <class Stream>
asio::awaitable<void> ServeHttp(Runtime& runtime, ContextState& context, Stream& client, beast::flat_buffer& buffer,
                                ClientInfo& info);

// Terminates the client's TLS with `context` (the leaf follows the client's
// SNI) and serves the requests inside. `buffer` may already hold the start
// of the client's hello.
asio::awaitable<void> ServeInsideTls(Runtime& runtime, ContextState& context, beast::tcp_stream& client,
                                     beast::flat_buffer& buffer, ClientInfo& info,
                                     const std::shared_ptr<SSL_CTX>& leafContext) {
  // The leaf's context is shared with the certificate maker; this wrapper
  // takes a reference of its own for the stream it makes.
  SSL_CTX_up_ref(leafContext.get());
  ssl::context wrapper(leafContext.get());
  beast::ssl_stream<beast::tcp_stream> tls(std::move(client), wrapper);
  Registration registration(context, Lowest(tls));
  error_code ec;
  Lowest(tls).expires_after(runtime.settings.connectTimeout);
  std::size_t used = co_await tls.async_handshake(ssl::stream_base::server, buffer.data(),
                                                   redirect_error(use_awaitable, ec));
  Lowest(tls).expires_never();
  if (ec) co_return;  // most often a client that does not trust the root
  buffer.consume(used);
  co_await ServeHttp(runtime, context, tls, buffer, info);
  if (runtime.stopping.load()) co_return;
  Lowest(tls).expires_after(std::chrono::seconds(2));
  co_await tls.async_shutdown(redirect_error(use_awaitable, ec));
}

// A tunnel whose bytes the proxy reads: answered at once, then TLS is
// terminated when the client speaks it; anything else is relayed as it is.
asio::awaitable<void> InterceptTunnel(Runtime& runtime, ContextState& context, beast::tcp_stream& client,
                                      beast::flat_buffer& buffer, ClientInfo& info, const Url& target) {
  if (co_await WriteAll(client, std::string_view("HTTP/1.1 200 Connection Established\r\n\r\n"))) co_return;
  error_code ec;
  if (buffer.size() == 0) {
    client.expires_after(ClientTimeout(runtime.settings));
    std::size_t n = co_await client.async_read_some(buffer.prepare(kPiece), redirect_error(use_awaitable, ec));
    client.expires_never();
    buffer.commit(n);
    if (ec) co_return;
  }
  constexpr unsigned char kHandshakeRecord = 0x16;
  const bool speaksTls = *static_cast<const unsigned char*>(buffer.cdata().data()) == kHandshakeRecord;
  std::shared_ptr<SSL_CTX> leafContext = speaksTls ? ServerContextFor(target.host) : nullptr;
  if (leafContext) {
    ClientInfo inner = info;
    inner.tunnelOrigin = target;
    inner.tunnelOrigin->scheme = "https";
    inner.tunnelOrigin->target = "/";
    co_await ServeInsideTls(runtime, context, client, buffer, inner, leafContext);
    co_return;
  }
  // Not TLS, or no root to sign with: the tunnel stays opaque.
  Tunnel tunnel = co_await OpenTunnel(runtime, context, target.host, target.port);
  if (!tunnel.stream) {
    CloseStream(client);
    co_return;
  }
  co_await RelayBytes(client, buffer, *tunnel.stream, tunnel.buffer);
}

template <class Stream>
asio::awaitable<void> HandleConnect(Runtime& runtime, ContextState& context, Stream& client,
                                    beast::flat_buffer& buffer, ClientInfo& info, std::shared_ptr<Session> session) {
  Session& s = *session;
  s.isTunnel = true;
  auto target = ParseAuthority(s.requestTarget, 443);
  if (!target) {
    co_await SendError(client, 400, "CONNECT needs host:port, not \"" + s.requestTarget + "\"", true);
    co_return;
  }
  s.url = *target;
  if (runtime.IsOwnEndpoint(s.url.host, s.url.port)) {
    co_await SendError(client, 508, "the tunnel would lead back to this proxy", true);
    co_return;
  }
  if (runtime.handlers.beforeRequest) {
    co_await RunHandler(runtime, [&] {
      FillProcess(info, s);
      runtime.handlers.beforeRequest(s);
    });
    if (runtime.stopping.load()) co_return;
  }
  if (runtime.IsOwnEndpoint(s.url.host, s.url.port)) {
    co_await SendError(client, 508, "the tunnel would lead back to this proxy", true);
    co_return;
  }
  if constexpr (std::is_same_v<Stream, beast::tcp_stream>) {
    if (runtime.settings.decryptHttps) {
      co_await InterceptTunnel(runtime, context, client, buffer, info, s.url);
      co_return;
    }
  }
  Tunnel tunnel = co_await OpenTunnel(runtime, context, s.url.host, s.url.port);
  if (!tunnel.stream) {
    co_await SendError(client, tunnel.status, tunnel.cause, true);
    co_return;
  }
  if (co_await WriteAll(client, std::string_view("HTTP/1.1 200 Connection Established\r\n\r\n"))) co_return;
  if constexpr (std::is_same_v<Stream, beast::tcp_stream>) {
    co_await RelayBytes(client, buffer, *tunnel.stream, tunnel.buffer);
  }
}

// While the proxy waits for a server, notices a client that hangs up and
// closes the server connection with it, so that the exchange ends at once
// instead of when the server has finished. Only an orderly or abrupt close
// counts: bytes from the client (a pipelined request, a TLS alert) end the
// watch without a verdict.
class ClientWatch {
 public:
  ClientWatch() = default;
  ClientWatch(const ClientWatch&) = delete;
  ClientWatch& operator=(const ClientWatch&) = delete;
  ~ClientWatch() { Stop(); }

  void Start(tcp::socket& client, tcp::socket& server) {
    client_ = &client;
    state_ = std::make_shared<State>();
    asio::co_spawn(client.get_executor(), Watch(client, server, state_), asio::detached);
  }
  // Ends the watch before the client is written to or read again.
  void Stop() {
    if (!state_ || state_->finished) return;
    state_->finished = true;
    error_code ec;
    client_->cancel(ec);
  }
  bool ClientGone() const { return state_ && state_->clientGone; }

 private:
  struct State {
    bool finished = false;
    bool clientGone = false;
  };

  // Both sockets outlive the watch while `finished` is false: they belong to
  // the exchange, which stops the watch before it lets go of either.
  static asio::awaitable<void> Watch(tcp::socket& client, tcp::socket& server, std::shared_ptr<State> state) {
    error_code ec;
    co_await client.async_wait(tcp::socket::wait_read, redirect_error(use_awaitable, ec));
    if (state->finished || ec) co_return;
    state->finished = true;
    char probe;
    ssize_t n = ::recv(client.native_handle(), &probe, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
      state->clientGone = true;
      server.close(ec);
    }
  }

  tcp::socket* client_ = nullptr;
  std::shared_ptr<State> state_;
};

// Sends one request on and its response back. False when the client
// connection cannot carry another request.
template <class Stream>
asio::awaitable<bool> Exchange(Runtime& runtime, ContextState& context, Stream& client, beast::flat_buffer& clientBuffer,
                               ClientInfo& info, http::request_parser<http::buffer_body>& requestParser,
                               std::shared_ptr<Session> session, std::string requestPrefix, bool keepAlive,
                               bool upgrade) {
  const Settings& settings = runtime.settings;
  Session& s = *session;
  const bool streamedRequest = s.requestBodyStreamed;
  const bool chunkedRequest = streamedRequest && requestParser.chunked();
  const bool abortWithClient = Preferences::GetBool("fiddler.network.streaming.abortifclientaborts", false);
  auto timeoutSetting = [](const char* name, std::chrono::milliseconds fallback) {
    return std::chrono::milliseconds(Preferences::GetInteger(name, fallback.count()));
  };
  const auto responseTimeout = timeoutSetting("veltrox.network.timeout.response.ms", settings.responseTimeout);
  const auto idleTimeout = timeoutSetting("veltrox.network.timeout.idle.ms", settings.idleTimeout);

  for (int attempt = 0;; ++attempt) {
    Acquired acquired = co_await AcquireUpstream(runtime, context, s.url, attempt == 0);
    if (!acquired.connection) {
      co_await SendError(client, acquired.status, acquired.cause, !keepAlive || streamedRequest);
      co_return keepAlive && !streamedRequest;
    }
    UpstreamConnection& up = *acquired.connection;
    // A reused connection that the server closed meanwhile fails at once; the
    // request then goes again on a new one, unless part of it is already gone.
    const bool mayRetry = acquired.reused && !streamedRequest;

    std::string head = RequestHead(s, up.viaProxy, upgrade, streamedRequest, chunkedRequest);
    error_code ec;
    auto sendRequest = [&](auto& server) -> asio::awaitable<StreamFailure> {
      if (!streamedRequest) {
        head += s.requestBody;
        error_code failed = co_await WriteAll(server, head);
        co_return failed ? StreamFailure::Writer : StreamFailure::None;
      }
      if (co_await WriteAll(server, head)) co_return StreamFailure::Writer;
      co_return co_await StreamBody(client, clientBuffer, requestParser, server, requestPrefix, chunkedRequest,
                                    idleTimeout);
    };
    StreamFailure sent;
    if (up.tls) {
      sent = co_await sendRequest(*up.tls);
    } else {
      sent = co_await sendRequest(*up.plain);
    }
    if (sent == StreamFailure::Reader) co_return false;  // the client gave up in the middle of its body
    if (sent == StreamFailure::Writer) {
      if (mayRetry) continue;
      co_await SendError(client, 502, "the server closed the connection while the request was sent",
                         !keepAlive || streamedRequest);
      co_return keepAlive && !streamedRequest;
    }

    ClientWatch watch;
    if (abortWithClient) watch.Start(Lowest(client).socket(), up.Tcp().socket());
    std::optional<http::response_parser<http::buffer_body>> parser;
    bool timedOut = false;
    for (;;) {
      parser.emplace();
      parser->header_limit(static_cast<std::uint32_t>(settings.maxHeaderBytes));
      parser->body_limit(kNoBodyLimit);
      if (s.method == "HEAD") parser->skip(true);
      up.Tcp().expires_after(responseTimeout);
      if (up.tls) {
        co_await http::async_read_header(*up.tls, up.buffer, *parser, redirect_error(use_awaitable, ec));
      } else {
        co_await http::async_read_header(*up.plain, up.buffer, *parser, redirect_error(use_awaitable, ec));
      }
      up.Tcp().expires_never();
      timedOut = ec == beast::error::timeout;
      if (ec) break;
      int status = parser->get().result_int();
      if (status >= 100 && status < 200 && status != 101) continue;  // interim answers stay here
      break;
    }
    if (ec) {
      if (watch.ClientGone()) co_return false;
      watch.Stop();
      if (mayRetry && !timedOut && attempt == 0) continue;
      if (timedOut) {
        co_await SendError(client, 504,
                           "no answer from " + s.url.Authority() + " within " +
                               std::to_string(responseTimeout.count() / 1000.0).substr(0, 5) + " s",
                           !keepAlive);
      } else if (ec == http::error::header_limit) {
        co_await SendError(client, 502, "the server's response header is too large", !keepAlive);
      } else {
        co_await SendError(client, 502, "no valid response from " + s.url.Authority() + ": " + ec.message(),
                           !keepAlive);
      }
      co_return keepAlive;
    }

    TakeResponseHead(*parser, s);
    // A body held for the response handler is read before the client hears
    // anything, so the watch goes on through it.
    if (s.status == 101 || !s.bufferResponse || !runtime.handlers.beforeResponse) watch.Stop();

    if (s.status == 101) {
      if (!upgrade) {
        co_await SendError(client, 502, "the server switched protocols without being asked", true);
        co_return false;
      }
      if (co_await WriteAll(client, ResponseHead(s, {}, std::nullopt, false, true))) co_return false;
      if (up.tls) {
        co_await RelayWebSocket(runtime, session, client, clientBuffer, *up.tls, up.buffer);
      } else {
        co_await RelayWebSocket(runtime, session, client, clientBuffer, *up.plain, up.buffer);
      }
      co_return false;
    }

    const bool serverChunked = parser->chunked();
    std::optional<std::uint64_t> serverLength;
    if (parser->content_length()) serverLength = *parser->content_length();
    const bool closeDelimited = !parser->is_done() && !serverChunked && !serverLength;
    std::string responsePrefix;
    bool held = false;
    if (s.bufferResponse && runtime.handlers.beforeResponse) {
      StreamFailure readFailure = StreamFailure::None;
      if (up.tls) {
        ec = co_await ReadBody(*up.tls, up.buffer, *parser, s.responseBody, settings.bodyMemoryLimit, idleTimeout);
      } else {
        ec = co_await ReadBody(*up.plain, up.buffer, *parser, s.responseBody, settings.bodyMemoryLimit, idleTimeout);
      }
      if (ec && watch.ClientGone()) co_return false;
      watch.Stop();
      if (ec) readFailure = StreamFailure::Reader;
      if (readFailure != StreamFailure::None) {
        co_await SendError(client, ec == beast::error::timeout ? 504 : 502,
                           "the server stopped in the middle of the response body: " + ec.message(), !keepAlive);
        co_return keepAlive;
      }
      held = parser->is_done();
      if (!held) {
        responsePrefix = std::move(s.responseBody);
        s.responseBody.clear();
        s.responseBodyStreamed = true;
        s.responseBodyDeclaredLength = serverLength.value_or(0);
      }
      co_await RunHandler(runtime, [&] { runtime.handlers.beforeResponse(s); });
      if (runtime.stopping.load()) co_return false;
    }

    ResponseFraming framing;
    bool closeClient = !keepAlive;
    if (held || parser->is_done()) {
      framing.whole = true;
      if (!held) {
        // Not reported, but nothing more to read: the body is already in hand.
        s.responseBody.clear();
      }
    } else if (serverChunked || closeDelimited) {
      if (s.httpVersion == 11) {
        framing.chunked = true;
      } else {
        framing.closeAfter = true;
        closeClient = true;
      }
    } else {
      framing.lengthKnown = true;
    }
    std::string head2 = ResponseHead(s, framing, serverLength, closeClient, false);
    StreamFailure relayed = StreamFailure::None;
    if (framing.whole) {
      // Header and body go in one write without copying the body behind the header.
      std::array<asio::const_buffer, 2> parts{asio::buffer(head2), asio::buffer(s.responseBody)};
      if (Bodiless(s)) parts[1] = asio::const_buffer();
      error_code written;
      co_await asio::async_write(client, parts, redirect_error(use_awaitable, written));
      if (written) relayed = StreamFailure::Writer;
    } else {
      if (co_await WriteAll(client, head2)) {
        relayed = StreamFailure::Writer;
      } else if (up.tls) {
        relayed = co_await StreamBody(*up.tls, up.buffer, *parser, client, responsePrefix, framing.chunked, idleTimeout);
      } else {
        relayed = co_await StreamBody(*up.plain, up.buffer, *parser, client, responsePrefix, framing.chunked, idleTimeout);
      }
    }
    if (relayed == StreamFailure::Writer) {
      // The client went away. Unless told to abort with it, finish reading the
      // response so that the server connection can serve the next request.
      if (!abortWithClient && !parser->is_done() && serverLength && *serverLength <= settings.bodyMemoryLimit) {
        std::string discard;
        error_code drained;
        if (up.tls) {
          drained = co_await ReadBody(*up.tls, up.buffer, *parser, discard, SIZE_MAX, idleTimeout);
        } else {
          drained = co_await ReadBody(*up.plain, up.buffer, *parser, discard, SIZE_MAX, idleTimeout);
        }
        if (!drained && parser->is_done() && parser->keep_alive()) {
          ReleaseUpstream(runtime, context, std::move(acquired.connection));
        }
      }
      co_return false;
    }
    if (relayed == StreamFailure::Reader) {
      // Framing already promised more than arrived: the client must see the cut.
      CloseStream(client);
      co_return false;
    }
    if (parser->is_done() && parser->keep_alive() && !closeDelimited) {
      ReleaseUpstream(runtime, context, std::move(acquired.connection));
    }
    if (closeClient) HalfClose(client);
    co_return !closeClient;
  }
}

template <class Stream>
asio::awaitable<void> ServeHttp(Runtime& runtime, ContextState& context, Stream& client, beast::flat_buffer& buffer,
                                ClientInfo& info) {
  const Settings& settings = runtime.settings;
  auto tooLarge = [&] { return "the request header is larger than " + std::to_string(settings.maxHeaderBytes) + " bytes"; };
  for (;;) {
    if (runtime.stopping.load()) co_return;
    const auto idleTimeout = ClientTimeout(settings);
    // One deadline for the wait and the whole head: a client that sends a
    // byte now and then holds the connection no longer than an idle one.
    Lowest(client).expires_after(idleTimeout);
    HeadRead read = co_await ReadRequestHead(client, buffer, settings.maxHeaderBytes);
    Lowest(client).expires_never();
    if (read.result == HeadRead::Result::Failed) co_return;  // gone, or silent past the time-out
    if (read.result == HeadRead::Result::Cut) {
      co_await SendError(client, 400, "malformed request: the connection ended inside the request head", true);
      co_return;
    }
    if (read.result == HeadRead::Result::TooLarge) {
      co_await SendError(client, 431, tooLarge(), true);
      co_return;
    }
    RequestParser parser;
    parser.header_limit(static_cast<std::uint32_t>(settings.maxHeaderBytes));
    parser.body_limit(kNoBodyLimit);
    auto session = std::make_shared<Session>();
    Session& s = *session;
    HeadVerdict verdict = TakeRequestHead(BufferText(buffer).substr(0, read.length), parser, s, info.tunnelOrigin,
                                          info.tlsListener);
    buffer.consume(read.length);
    if (verdict.status != 0) {
      // Made before the co_await: GCC 12 destroys a string that a conditional
      // expression makes inside a co_await's arguments twice.
      const std::string cause = verdict.status == 431 ? tooLarge() : verdict.cause;
      co_await SendError(client, verdict.status, cause, true);
      co_return;
    }
    auto& request = parser.get();
    s.id = NextSessionId();
    s.clientAddress = info.address;
    s.decodeLimit = settings.bodyMemoryLimit * 4;
    const bool keepAlive = request.keep_alive();

    if (request.method() == http::verb::connect) {
      if constexpr (std::is_same_v<Stream, beast::tcp_stream>) {
        co_await HandleConnect(runtime, context, client, buffer, info, session);
      } else {
        co_await SendError(client, 400, "CONNECT inside a tunnel is not supported", true);
      }
      co_return;
    }

    if (runtime.IsOwnEndpoint(s.url.host, s.url.port)) {
      co_await SendError(client, 508, "the request targets this proxy itself", true);
      co_return;
    }
    if (s.requestHeaders.HasToken("Expect", "100-continue")) {
      s.requestHeaders.RemoveAll("Expect");
      if (!parser.is_done()) {
        if (co_await WriteAll(client, std::string_view("HTTP/1.1 100 Continue\r\n\r\n"))) co_return;
      }
    }
    const bool upgrade = IsWebSocketUpgrade(s.requestHeaders);
    // Compressed frames could not be read or edited.
    if (upgrade) s.requestHeaders.RemoveAll("Sec-WebSocket-Extensions");

    error_code ec = co_await ReadBody(client, buffer, parser, s.requestBody, settings.bodyMemoryLimit, idleTimeout);
    if (ec) {
      if (!IsHarmless(ec) && ec != http::error::partial_message) {
        co_await SendError(client, 400, "malformed request body: " + ec.message(), true);
      }
      co_return;
    }
    std::string prefix;
    if (!parser.is_done()) {
      prefix = std::move(s.requestBody);
      s.requestBody.clear();
      s.requestBodyStreamed = true;
      s.requestBodyDeclaredLength = parser.content_length().value_or(0);
    }

    if (runtime.handlers.beforeRequest) {
      co_await RunHandler(runtime, [&] {
        FillProcess(info, s);
        runtime.handlers.beforeRequest(s);
      });
      if (runtime.stopping.load()) co_return;
      if (runtime.IsOwnEndpoint(s.url.host, s.url.port)) {
        co_await SendError(client, 508, "the request was sent on to this proxy itself", !keepAlive);
        if (!keepAlive || s.requestBodyStreamed) co_return;
        continue;
      }
    }
    bool goOn = co_await Exchange(runtime, context, client, buffer, info, parser, session, std::move(prefix),
                                  keepAlive, upgrade);
    if (!goOn || upgrade) co_return;
  }
}

bool DescribeClient(tcp::socket& socket, ClientInfo& info) {
  error_code ec;
  auto peer = socket.remote_endpoint(ec);
  if (ec) return false;
  auto address = peer.address();
  if (address.is_v6() && address.to_v6().is_v4_mapped()) {
    address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
  }
  info.address = (address.is_v6() ? "[" + address.to_string() + "]" : address.to_string()) + ":" +
                 std::to_string(peer.port());
  info.peer = peer;
  info.loopback = address.is_loopback();
  // Only a local client's program is looked up, and that needs both ends.
  if (info.loopback) info.local = socket.local_endpoint(ec);
  socket.set_option(tcp::no_delay(true), ec);
  return true;
}

}  // namespace

asio::awaitable<void> ServeClient(Runtime& runtime, ContextState& context, tcp::socket socket) {
  ClientInfo info;
  if (!DescribeClient(socket, info)) co_return;
  beast::tcp_stream stream(std::move(socket));
  Registration registration(context, stream);
  beast::flat_buffer buffer;
  co_await ServeHttp(runtime, context, stream, buffer, info);
}

asio::awaitable<void> ServeTlsClient(Runtime& runtime, ContextState& context, tcp::socket socket) {
  ClientInfo info;
  if (!DescribeClient(socket, info)) co_return;
  info.tlsListener = true;
  std::shared_ptr<SSL_CTX> leafContext = ServerContextFor("localhost");
  if (!leafContext) co_return;  // no root to sign with
  beast::tcp_stream stream(std::move(socket));
  beast::flat_buffer buffer;
  co_await ServeInsideTls(runtime, context, stream, buffer, info, leafContext);
}

}  // namespace veltrox::proxy
