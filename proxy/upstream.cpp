#include <sys/socket.h>

#include <openssl/ssl.h>

#include "runtime.h"
#include "text_scan.h"

namespace veltrox::proxy {
namespace {

using asio::redirect_error;
using asio::use_awaitable;

constexpr std::size_t kIdlePerKey = 32;

std::string PoolKey(const Url& url) {
  return std::string(url.IsSecure() ? "s:" : "p:") + url.host + ":" + std::to_string(url.port);
}

bool Bypassed(const UpstreamProxy& proxy, const std::string& host) {
  if (proxy.bypasses) return proxy.bypasses(host);
  for (const std::string& rule : proxy.bypass) {
    if (rule == "<local>") {
      if (host.find('.') == std::string::npos && host.find(':') == std::string::npos) return true;
    } else if (rule.starts_with("*.") || rule.starts_with(".")) {
      std::string_view suffix = std::string_view(rule).substr(rule.front() == '*' ? 1 : 0);
      if (host.size() > suffix.size() &&
          EqualsText(std::string_view(host).substr(host.size() - suffix.size()), suffix, true)) {
        return true;
      }
      if (EqualsText(host, suffix.substr(1), true)) return true;
    } else if (EqualsText(host, rule, true)) {
      return true;
    }
  }
  return false;
}

// The upstream proxy to use for `host`, unless there is none, it is bypassed,
// or it is this proxy itself (chaining to ourselves would loop forever).
const UpstreamProxy* ChainFor(const Runtime& runtime, const std::string& host, bool secure) {
  const auto& chain = secure && runtime.settings.secureUpstreamProxy ? runtime.settings.secureUpstreamProxy
                                                                      : runtime.settings.upstreamProxy;
  if (!chain || chain->host.empty() || chain->port == 0) return nullptr;
  if (Bypassed(*chain, host)) return nullptr;
  if (runtime.IsOwnEndpoint(chain->host, chain->port)) return nullptr;
  return &*chain;
}

// True while an idle connection has not been closed by its server: a read
// that would block means no EOF and no stray bytes are waiting.
bool LooksAlive(UpstreamConnection& c) {
  if (c.buffer.size() > 0) return false;
  auto& socket = c.Tcp().socket();
  if (!socket.is_open()) return false;
  char probe;
  ssize_t n = ::recv(socket.native_handle(), &probe, 1, MSG_PEEK | MSG_DONTWAIT);
  return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
}

struct Connected {
  std::unique_ptr<beast::tcp_stream> stream;
  int status = 0;
  std::string cause;
};

asio::awaitable<Connected> ConnectTcp(Runtime& runtime, ContextState& context, const std::string& host,
                                      std::uint16_t port) {
  Connected out;
  error_code ec;
  tcp::resolver resolver(context.io);
  auto results = co_await resolver.async_resolve(host, std::to_string(port),
                                                 redirect_error(use_awaitable, ec));
  if (ec) {
    out.status = 502;
    out.cause = "cannot resolve " + host + ": " + ec.message();
    co_return out;
  }
  out.stream = std::make_unique<beast::tcp_stream>(context.io);
  out.stream->expires_after(runtime.settings.connectTimeout);
  co_await out.stream->async_connect(results, redirect_error(use_awaitable, ec));
  if (ec) {
    out.status = ec == beast::error::timeout ? 504 : 502;
    out.cause = (ec == beast::error::timeout ? "timed out connecting to " : "cannot connect to ") + host + ":" +
                std::to_string(port) + (ec == beast::error::timeout ? "" : ": " + ec.message());
    out.stream.reset();
    co_return out;
  }
  out.stream->expires_never();
  KeepFromChildren(out.stream->socket().native_handle());
  out.stream->socket().set_option(tcp::no_delay(true), ec);
  co_return out;
}

// Asks the upstream proxy for a tunnel to host:port over `stream`.
asio::awaitable<std::string> ProxyConnect(Runtime& runtime, beast::tcp_stream& stream, beast::flat_buffer& buffer,
                                          const std::string& host, std::uint16_t port) {
  Url target;
  target.host = host;
  target.port = port;
  std::string authority = target.Authority();
  std::string request = "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n\r\n";
  error_code ec;
  stream.expires_after(runtime.settings.responseTimeout);
  co_await asio::async_write(stream, asio::buffer(request), redirect_error(use_awaitable, ec));
  if (ec) co_return "upstream proxy: " + ec.message();
  http::response_parser<http::empty_body> parser;
  parser.skip(true);  // a CONNECT answer has no body
  co_await http::async_read_header(stream, buffer, parser, redirect_error(use_awaitable, ec));
  stream.expires_never();
  if (ec) co_return "upstream proxy: " + ec.message();
  unsigned status = parser.get().result_int();
  if (status / 100 != 2) co_return "upstream proxy refused the tunnel with " + std::to_string(status);
  co_return std::string();
}

}  // namespace

Registration::Registration(ContextState& context, beast::tcp_stream& stream) : context_(context), stream_(stream) {
  context_.open.insert(&stream_);
}

Registration::~Registration() { context_.open.erase(&stream_); }

ssl::context& UpstreamTls() {
  static ssl::context* context = [] {
    auto* c = new ssl::context(ssl::context::tls_client);
    c->set_verify_mode(ssl::verify_none);
    return c;
  }();
  return *context;
}

bool IsHarmless(const error_code& ec) {
  return ec == asio::error::eof || ec == asio::error::connection_reset || ec == asio::error::operation_aborted ||
         ec == asio::error::broken_pipe || ec == beast::error::timeout || ec == http::error::end_of_stream ||
         ec == ssl::error::stream_truncated;
}

asio::awaitable<Acquired> AcquireUpstream(Runtime& runtime, ContextState& context, const Url& url,
                                          bool allowReuse) {
  Acquired out;
  std::string key = PoolKey(url);
  if (allowReuse) {
    auto now = std::chrono::steady_clock::now();
    auto range = context.idle.equal_range(key);
    for (auto it = range.first; it != range.second;) {
      auto candidate = std::move(it->second);
      it = context.idle.erase(it);
      if (now - candidate->idleSince < runtime.settings.idleTimeout && LooksAlive(*candidate)) {
        out.connection = std::move(candidate);
        out.reused = true;
        co_return out;
      }
      // `candidate` closes as it goes out of scope.
    }
  }

  const UpstreamProxy* chain = ChainFor(runtime, url.host, url.IsSecure());
  Connected tcpResult;
  if (chain) {
    tcpResult = co_await ConnectTcp(runtime, context, chain->host, chain->port);
  } else {
    tcpResult = co_await ConnectTcp(runtime, context, url.host, url.port);
  }
  if (!tcpResult.stream) {
    out.status = tcpResult.status;
    out.cause = chain ? "upstream proxy " + chain->host + ":" + std::to_string(chain->port) + ": " + tcpResult.cause
                      : tcpResult.cause;
    co_return out;
  }
  auto connection = std::make_unique<UpstreamConnection>();
  connection->key = key;
  if (chain && url.IsSecure()) {
    std::string failure = co_await ProxyConnect(runtime, *tcpResult.stream, connection->buffer, url.host, url.port);
    if (!failure.empty()) {
      out.status = 502;
      out.cause = failure;
      co_return out;
    }
  }
  connection->viaProxy = chain && !url.IsSecure();
  if (url.IsSecure()) {
    connection->tls = std::make_unique<beast::ssl_stream<beast::tcp_stream>>(std::move(*tcpResult.stream),
                                                                             UpstreamTls());
    SSL* ssl = connection->tls->native_handle();
    error_code parseError;
    asio::ip::make_address(url.host, parseError);
    if (parseError) SSL_set_tlsext_host_name(ssl, url.host.c_str());  // SNI only for names
    static const unsigned char kAlpn[] = {8, 'h', 't', 't', 'p', '/', '1', '.', '1'};
    SSL_set_alpn_protos(ssl, kAlpn, sizeof kAlpn);
    connection->registration = std::make_unique<Registration>(context, connection->Tcp());
    error_code ec;
    connection->Tcp().expires_after(runtime.settings.connectTimeout);
    co_await connection->tls->async_handshake(ssl::stream_base::client, redirect_error(use_awaitable, ec));
    connection->Tcp().expires_never();
    if (ec) {
      out.status = ec == beast::error::timeout ? 504 : 502;
      out.cause = "TLS handshake with " + url.host + ":" + std::to_string(url.port) + " failed: " + ec.message();
      co_return out;
    }
  } else {
    connection->plain = std::move(tcpResult.stream);
    connection->registration = std::make_unique<Registration>(context, connection->Tcp());
  }
  out.connection = std::move(connection);
  co_return out;
}

void ReleaseUpstream(Runtime& runtime, ContextState& context, std::unique_ptr<UpstreamConnection> connection) {
  if (!connection || runtime.stopping.load()) return;
  auto now = std::chrono::steady_clock::now();
  // Now and then drop idle connections that timed out or that their server
  // closed, so that hosts visited once do not keep descriptors open.
  if (now - context.lastSweep > std::chrono::seconds(1)) {
    context.lastSweep = now;
    std::erase_if(context.idle, [&](auto& entry) {
      return now - entry.second->idleSince >= runtime.settings.idleTimeout || !LooksAlive(*entry.second);
    });
  }
  if (context.idle.count(connection->key) >= kIdlePerKey) return;
  connection->idleSince = now;
  std::string key = connection->key;
  context.idle.emplace(std::move(key), std::move(connection));
}

asio::awaitable<Tunnel> OpenTunnel(Runtime& runtime, ContextState& context, const std::string& host,
                                   std::uint16_t port) {
  Tunnel out;
  const UpstreamProxy* chain = ChainFor(runtime, host, true);
  Connected tcpResult;
  if (chain) {
    tcpResult = co_await ConnectTcp(runtime, context, chain->host, chain->port);
  } else {
    tcpResult = co_await ConnectTcp(runtime, context, host, port);
  }
  if (!tcpResult.stream) {
    out.status = tcpResult.status;
    out.cause = tcpResult.cause;
    co_return out;
  }
  out.registration = std::make_unique<Registration>(context, *tcpResult.stream);
  if (chain) {
    std::string failure = co_await ProxyConnect(runtime, *tcpResult.stream, out.buffer, host, port);
    if (!failure.empty()) {
      out.registration.reset();
      out.status = 502;
      out.cause = failure;
      co_return out;
    }
  }
  out.stream = std::move(tcpResult.stream);
  co_return out;
}

namespace {

// Copies one direction; at its end the other side learns that no more comes.
asio::awaitable<void> Pump(beast::tcp_stream& from, beast::flat_buffer& pending, beast::tcp_stream& to) {
  error_code ec;
  if (pending.size() > 0) {
    co_await asio::async_write(to.socket(), pending.data(), redirect_error(use_awaitable, ec));
    pending.consume(pending.size());
    if (ec) {
      from.socket().close(ec);
      co_return;
    }
  }
  std::vector<char> chunk(64 * 1024);
  for (;;) {
    std::size_t n = co_await from.socket().async_read_some(asio::buffer(chunk), redirect_error(use_awaitable, ec));
    if (ec) break;
    co_await asio::async_write(to.socket(), asio::buffer(chunk.data(), n), redirect_error(use_awaitable, ec));
    if (ec) {
      from.socket().close(ec);  // nowhere to put more: stop the reader too
      co_return;
    }
  }
  bool clean = ec == asio::error::eof;
  if (clean) {
    to.socket().shutdown(tcp::socket::shutdown_send, ec);
  } else {
    to.socket().close(ec);
    from.socket().close(ec);
  }
}

}  // namespace

asio::awaitable<void> RelayBytes(beast::tcp_stream& client, beast::flat_buffer& clientBuffer,
                                 beast::tcp_stream& server, beast::flat_buffer& serverBuffer) {
  // The second direction runs beside this one; `done` tells this frame when it has
  // finished so that neither stream dies under it.
  auto executor = co_await asio::this_coro::executor;
  auto done = std::make_shared<asio::steady_timer>(executor, asio::steady_timer::time_point::max());
  auto finished = std::make_shared<bool>(false);
  asio::co_spawn(
      executor,
      [&server, &serverBuffer, &client, done, finished]() -> asio::awaitable<void> {
        co_await Pump(server, serverBuffer, client);
        *finished = true;
        done->cancel();
      },
      asio::detached);
  co_await Pump(client, clientBuffer, server);
  if (!*finished) {
    error_code ec;
    co_await done->async_wait(redirect_error(use_awaitable, ec));
  }
}

}  // namespace veltrox::proxy
