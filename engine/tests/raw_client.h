#pragma once

// A bare TCP client for conversations no HTTP client would hold.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace veltrox::engine::testing {

// True when a loopback port may serve in an engine test: the engine does not
// report sessions whose URL holds "443".
inline bool ReportablePort(std::uint16_t port) { return std::to_string(port).find("443") == std::string::npos; }

class RawClient {
 public:
  explicit RawClient(std::uint16_t port) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    GuardReads();
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  }
  // The server's end of a connection that a RawListener accepted.
  static RawClient Adopt(int fd) { return RawClient(fd); }
  ~RawClient() { Close(); }
  RawClient(RawClient&& other) noexcept
      : fd_(std::exchange(other.fd_, -1)), connected_(other.connected_), timedOut_(other.timedOut_) {}
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool Connected() const { return connected_; }

  bool Send(std::string_view data) {
    while (!data.empty()) {
      ssize_t n = send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
      if (n <= 0) return false;
      data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
  }

  // Everything until the peer closes (or the time-out above).
  std::string ReadAll() {
    std::string out;
    char buffer[16384];
    ssize_t n;
    while ((n = recv(fd_, buffer, sizeof buffer, 0)) > 0) out.append(buffer, static_cast<std::size_t>(n));
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) timedOut_ = true;
    return out;
  }

  // True when a read ended at the time-out rather than at the peer's close or reset.
  bool TimedOut() const { return timedOut_; }

  // What arrives next; "" once the peer has closed.
  std::string ReadSome() {
    char buffer[16384];
    ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
  }

  // At least `count` bytes, or what came before the peer closed.
  std::string ReadAtLeast(std::size_t count) {
    std::string out;
    char buffer[16384];
    while (out.size() < count) {
      ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      out.append(buffer, static_cast<std::size_t>(n));
    }
    return out;
  }

  // Up to and including the blank line that ends a header block.
  std::string ReadHeader() {
    std::string out;
    char c;
    while (out.find("\r\n\r\n") == std::string::npos && recv(fd_, &c, 1, 0) == 1) out += c;
    return out;
  }

  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  explicit RawClient(int fd) : fd_(fd), connected_(fd >= 0) { GuardReads(); }
  void GuardReads() {
    timeval timeout{30, 0};  // a fault must fail the test, not hang it
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  }

  int fd_ = -1;
  bool connected_ = false;
  bool timedOut_ = false;
};

// A bare loopback listener, for servers that misbehave in ways no HTTP server
// library would. Its port is a ReportablePort, so sessions to it are reported.
class RawListener {
 public:
  RawListener() {
    for (;;) {
      fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in addr{};
      addr.sin_family = AF_INET;
      addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      socklen_t length = sizeof addr;
      bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
      listen(fd_, 16);
      getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &length);
      port_ = ntohs(addr.sin_port);
      if (ReportablePort(port_)) break;
      close(fd_);
    }
  }
  ~RawListener() { close(fd_); }
  RawListener(const RawListener&) = delete;
  RawListener& operator=(const RawListener&) = delete;

  std::uint16_t Port() const { return port_; }
  // The next connection, or one that is not Connected() after 30 s without any.
  RawClient Accept() {
    pollfd waiting{fd_, POLLIN, 0};
    if (poll(&waiting, 1, 30000) != 1) return RawClient::Adopt(-1);
    return RawClient::Adopt(accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC));
  }
  // Stops the listener; a thread blocked in Accept() returns.
  void Shut() { shutdown(fd_, SHUT_RDWR); }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

}  // namespace veltrox::engine::testing
