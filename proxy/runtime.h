#pragma once

// Internals shared by the core's I/O translation units. Everything here runs on
// the I/O threads except where a comment says otherwise.

#include <fcntl.h>

#include <atomic>
#include <chrono>
#include <exception>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "asio.h"
#include "hook_pool.h"
#include "proxy.h"

namespace veltrox::proxy {

// The proxy's sockets never live on in programs the process starts (certutil,
// update-ca-certificates): a listening socket held by a child would go on
// taking connections that nobody serves after the proxy has stopped.
inline void KeepFromChildren(int fd) {
  if (fd >= 0) ::fcntl(fd, F_SETFD, ::fcntl(fd, F_GETFD) | FD_CLOEXEC);
}

class ContextState;

// Keeps a stream in its context's list of open connections, so that stopping
// closes it even while its coroutine waits for a handler.
class Registration {
 public:
  Registration(ContextState& context, beast::tcp_stream& stream);
  ~Registration();
  Registration(const Registration&) = delete;
  Registration& operator=(const Registration&) = delete;

 private:
  ContextState& context_;
  beast::tcp_stream& stream_;
};

// A connection to a server (or to the upstream proxy), plain or TLS, with the
// bytes read past the last message.
class UpstreamConnection {
 public:
  std::string key;
  bool viaProxy = false;  // plain HTTP through the upstream proxy: absolute-form targets
  std::unique_ptr<beast::tcp_stream> plain;
  std::unique_ptr<beast::ssl_stream<beast::tcp_stream>> tls;
  beast::flat_buffer buffer;
  std::unique_ptr<Registration> registration;
  std::chrono::steady_clock::time_point idleSince;

  beast::tcp_stream& Tcp() { return tls ? beast::get_lowest_layer(*tls) : *plain; }
};

// One I/O thread's world: its io_context, its idle server connections and the
// connections it serves. Only that thread touches it while it runs.
class ContextState {
 public:
  // Idle connections go before the context; the context's pending frames then
  // go with it while `open` still exists for their registrations.
  ~ContextState() { idle.clear(); }

  std::unordered_set<beast::tcp_stream*> open;
  std::unordered_multimap<std::string, std::unique_ptr<UpstreamConnection>> idle;
  std::chrono::steady_clock::time_point lastSweep;
  asio::io_context io{1};
};

struct Proxy::Runtime : std::enable_shared_from_this<Proxy::Runtime> {
  Settings settings;
  Handlers handlers;
  std::vector<std::unique_ptr<ContextState>> contexts;
  std::vector<tcp::acceptor> acceptors;  // on contexts[0]; declared after the contexts so they go first
  std::vector<tcp::acceptor> tlsAcceptors;  // the localhost TLS listener, likewise
  std::vector<asio::executor_work_guard<asio::io_context::executor_type>> guards;
  std::vector<std::thread> threads;
  std::atomic<bool> stopping{false};
  std::atomic<unsigned> nextContext{0};
  std::uint16_t port = 0;
  std::uint16_t tlsPort = 0;
  std::vector<asio::ip::address> ownAddresses;
  std::string hostName;

  // True when host:port is one of this proxy's own listening endpoints.
  bool IsOwnEndpoint(const std::string& host, std::uint16_t port) const;
};

using Runtime = Proxy::Runtime;

// Runs `work` on a hook thread and resumes the caller on its I/O thread when it
// is done. When the proxy stops meanwhile the caller is never resumed: its frame
// is destroyed on its own context, which the task keeps alive until then.
template <class Work>
asio::awaitable<void> RunHandler(Runtime& runtime, Work work) {
  asio::use_awaitable_t<> token;
  co_await asio::async_initiate<asio::use_awaitable_t<>, void()>(
      [&runtime, work = std::move(work)](auto handler) mutable {
        using Handler = decltype(handler);
        auto self = runtime.shared_from_this();
        auto resume = std::make_shared<Handler>(std::move(handler));
        RunOnHookThread([self, resume, work = std::move(work)]() mutable {
          try {
            work();
          } catch (...) {
            // A handler's failure must not take the I/O thread's session with it.
          }
          if (!self->stopping.load()) {
            auto executor = asio::get_associated_executor(*resume);
            asio::post(executor, std::move(*resume));
          }
          resume.reset();  // the frame goes while its context still exists
        });
      },
      token);
}

// The TLS settings of every onward connection: any server certificate is
// accepted, since the client's own checks apply to what it is shown. One for
// the process, never destroyed: the last owner of a runtime may be a hook
// thread, and an SSL_CTX is best not freed while other threads may still use it.
ssl::context& UpstreamTls();

// Harmless network errors (the peer went away) need no word; others are worth a line.
bool IsHarmless(const error_code& ec);

// Client connections: HTTP/1.1 until the connection ends, becomes a tunnel or a WebSocket.
asio::awaitable<void> ServeClient(Runtime& runtime, ContextState& context, tcp::socket socket);
// The same inside TLS with the leaf for "localhost".
asio::awaitable<void> ServeTlsClient(Runtime& runtime, ContextState& context, tcp::socket socket);

// A server connection for `url` from the idle list or newly made. On failure
// `status` is 502 or 504 and `cause` says why.
struct Acquired {
  std::unique_ptr<UpstreamConnection> connection;
  bool reused = false;
  int status = 0;
  std::string cause;
};
asio::awaitable<Acquired> AcquireUpstream(Runtime& runtime, ContextState& context, const Url& url,
                                          bool allowReuse);
// Returns a connection whose last exchange ended cleanly to the idle list.
void ReleaseUpstream(Runtime& runtime, ContextState& context, std::unique_ptr<UpstreamConnection> connection);

// A raw TCP connection to host:port, directly or through the upstream proxy's CONNECT.
struct Tunnel {
  std::unique_ptr<beast::tcp_stream> stream;
  std::unique_ptr<Registration> registration;
  beast::flat_buffer buffer;
  int status = 0;
  std::string cause;
};
asio::awaitable<Tunnel> OpenTunnel(Runtime& runtime, ContextState& context, const std::string& host,
                                   std::uint16_t port);

// Relays bytes both ways until both sides have finished.
asio::awaitable<void> RelayBytes(beast::tcp_stream& client, beast::flat_buffer& clientBuffer,
                                 beast::tcp_stream& server, beast::flat_buffer& serverBuffer);

}  // namespace veltrox::proxy
