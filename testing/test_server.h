#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

// The project's one loopback HTTP/1.1 server for tests. It listens on
// 127.0.0.1 with a port of the kernel's choosing, records every request it
// receives, and answers each with a reply that the test chooses: any status,
// headers and body, chunked or not, after a delay, or cut short. It speaks
// plain HTTP or, with a self-signed certificate, HTTPS.

struct ssl_ctx_st;

namespace veltrox::testing {

struct RecordedRequest {
  std::string method;
  std::string target;
  std::string version;
  std::vector<std::pair<std::string, std::string>> headers;  // in arrival order
  std::string body;                                          // de-chunked

  // Value of the first header of that name (ASCII case ignored), "" when absent.
  std::string Header(std::string_view name) const;
  bool HasHeader(std::string_view name) const;
  std::size_t HeaderCount(std::string_view name) const;
};

struct Reply {
  enum class Cut {
    None,           // answer whole; keep the connection when the client may
    WithoutAnswer,  // close as soon as the request has arrived
    MidHeader,      // send half of the status line and headers, then close
    AfterHeaders,   // send the status line and headers, then close
    MidBody,        // send headers and half the body, then close
    AfterReply,     // answer whole, then close
  };

  int status = 200;
  std::string reason = "OK";
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  bool chunked = false;          // send the body with chunked framing
  bool contentLength = true;     // add Content-Length when not chunked
  std::chrono::milliseconds delay{0};  // wait before answering
  Cut cut = Cut::None;
  bool reset = false;            // make the cut a reset (RST) instead of an orderly close
  std::string raw;               // when not empty, sent verbatim instead of the above
};

struct ServerOptions {
  // Serve HTTPS with the self-signed certificate of CertificatePath()
  // (127.0.0.1, localhost, origin.test).
  bool tls = false;
  // A port of the test's choosing; 0 lets the kernel choose one, never one
  // that holds "443" (the engine does not report such URLs). The server throws
  // when the port is taken.
  std::uint16_t port = 0;
};

class TestServer {
 public:
  using Handler = std::function<Reply(const RecordedRequest&)>;
  using Options = ServerOptions;

  // Answers every request with 200 and the body "ok".
  TestServer();
  explicit TestServer(Handler handler, Options options = {});
  // Plain HTTP on a port of the test's choosing.
  TestServer(Handler handler, std::uint16_t port) : TestServer(std::move(handler), Options{.port = port}) {}

  // PEM file of the certificate a TLS server presents, for clients to trust.
  static std::string CertificatePath();
  ~TestServer();
  TestServer(const TestServer&) = delete;
  TestServer& operator=(const TestServer&) = delete;

  std::uint16_t Port() const { return port_; }
  // "http://127.0.0.1:<port>" (https for a TLS server) followed by `path`.
  std::string Url(std::string_view path = "/") const;

  void SetHandler(Handler handler);
  void SetReply(Reply reply);

  std::vector<RecordedRequest> Requests() const;
  std::size_t RequestCount() const;
  // True once at least `count` requests have arrived.
  bool WaitForRequests(std::size_t count, std::chrono::milliseconds timeout) const;
  std::size_t ConnectionCount() const;

  // Stops listening: connections made from now on are refused.
  void Refuse();

 private:
  void AcceptLoop();
  void Serve(int fd);

  ::ssl_ctx_st* tls_ = nullptr;
  int listenFd_ = -1;
  int wakeFds_[2] = {-1, -1};
  std::uint16_t port_ = 0;
  std::thread acceptThread_;

  mutable std::mutex mutex_;
  mutable std::condition_variable arrived_;
  Handler handler_;
  std::vector<RecordedRequest> requests_;
  std::set<int> openFds_;
  std::vector<std::thread> workers_;
  std::size_t connections_ = 0;
  bool stopping_ = false;
};

// A port that was free on every interface a moment ago, for a listener that a
// test starts itself (the proxy).
std::uint16_t FreePort();

}  // namespace veltrox::testing
