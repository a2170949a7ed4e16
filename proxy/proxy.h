#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "proxy_export.h"
#include "session.h"

namespace veltrox::proxy {

// An HTTP proxy that this one passes its onward connections through.
struct UpstreamProxy {
  std::string host;
  std::uint16_t port = 0;
  // Hosts reached directly: exact names, "*.suffix" / ".suffix" for a domain
  // and its sub-domains, "<local>" for names without a dot.
  std::vector<std::string> bypass;
  // When set, decides instead of `bypass` whether a host is reached directly.
  std::function<bool(const std::string& host)> bypasses;
};

struct Settings {
  std::uint16_t port = 0;           // 0: a port of the kernel's choosing
  bool allowRemoteClients = true;   // every interface, IPv4 and IPv6; otherwise loopback only
  // Terminate TLS inside CONNECT tunnels with a leaf of the core's certificate
  // maker (see certificates.h) and serve the requests inside.
  bool decryptHttps = false;
  // A further listener on every interface that speaks TLS with the leaf for
  // "localhost" and serves the requests inside like the main port; 0: none.
  // When its port cannot be listened on the proxy runs without it.
  std::uint16_t localhostTlsPort = 0;
  std::optional<UpstreamProxy> upstreamProxy;        // for plain http requests
  std::optional<UpstreamProxy> secureUpstreamProxy;  // for https and tunnels; unset: upstreamProxy
  // A body larger than this is streamed through, not held (see README).
  std::size_t bodyMemoryLimit = std::size_t{16} << 20;
  std::size_t maxHeaderBytes = 64 * 1024;
  std::chrono::milliseconds connectTimeout{10000};
  std::chrono::milliseconds responseTimeout{60000};  // from the request sent to the response header
  std::chrono::milliseconds idleTimeout{120000};     // a client or server connection with nothing to do
  // 0: one per two cores, from 1 to 4. Each I/O thread runs its own connections;
  // on a small machine the client, the server and the hook threads need the rest.
  unsigned ioThreads = 0;
};

// One WebSocket frame on its way; a handler may change `payload` (and for a
// Close frame the reason in it).
struct WebSocketMessage {
  std::uint32_t id = 0;  // counts the frames of one connection, both ways, from 1
  bool outbound = false; // client to server
  bool fin = true;
  std::uint8_t opcode = 0;
  std::uint16_t closeCode = 0;  // Close frames only
  std::string payload;          // for Close, the reason after the code
};

// Called on hook threads (they may block); the connection waits until they return.
struct Handlers {
  std::function<void(Session&)> beforeRequest;   // before the request goes on
  std::function<void(Session&)> beforeResponse;  // only for sessions with bufferResponse set
  std::function<void(Session&, WebSocketMessage&)> webSocketMessage;
};

class VELTROX_PROXY_API Proxy {
 public:
  Proxy();
  ~Proxy();
  Proxy(const Proxy&) = delete;
  Proxy& operator=(const Proxy&) = delete;

  // Stops a running proxy first. False when the port cannot be listened on.
  bool Start(Settings settings, Handlers handlers);
  // Closes the listeners and every connection. Returns without waiting for
  // handlers still running; their results are dropped.
  void Stop();
  bool IsRunning() const;
  std::uint16_t Port() const;
  // The port of the localhost TLS listener; 0 when it is not listening.
  std::uint16_t LocalhostTlsPort() const;

  struct Runtime;

 private:
  std::shared_ptr<Runtime> runtime_;
};

}  // namespace veltrox::proxy
