#pragma once

// A bare TCP client for conversations no HTTP client would hold.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace veltrox::engine::testing {

class RawClient {
 public:
  explicit RawClient(std::uint16_t port) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    timeval timeout{30, 0};  // a fault must fail the test, not hang it
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  }
  ~RawClient() { Close(); }
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
    return out;
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
  int fd_ = -1;
  bool connected_ = false;
};

}  // namespace veltrox::engine::testing
