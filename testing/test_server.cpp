#include "test_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/ssl.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

namespace veltrox::testing {
namespace {

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// One accepted connection, plain or TLS.
class Link {
 public:
  Link(int fd, SSL* ssl) : fd_(fd), ssl_(ssl) {}
  ~Link() {
    if (ssl_) {
      SSL_shutdown(ssl_);
      SSL_free(ssl_);
    }
  }
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  ssize_t Read(char* data, std::size_t size) {
    if (ssl_) {
      int n = SSL_read(ssl_, data, static_cast<int>(size));
      return n > 0 ? n : -1;
    }
    ssize_t n;
    do {
      n = recv(fd_, data, size, 0);
    } while (n < 0 && errno == EINTR);
    return n;
  }

  bool SendAll(std::string_view data) {
    while (!data.empty()) {
      ssize_t n;
      if (ssl_) {
        int w = SSL_write(ssl_, data.data(), static_cast<int>(data.size()));
        n = w > 0 ? w : -1;
      } else {
        n = send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
      }
      if (n <= 0) return false;
      data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
  }

 private:
  int fd_;
  SSL* ssl_;
};

// Reads from a connection with a buffer that outlives one message.
class Reader {
 public:
  explicit Reader(Link& link) : link_(link) {}

  bool Fill() {
    char chunk[16384];
    ssize_t n = link_.Read(chunk, sizeof chunk);
    if (n <= 0) return false;
    buffer_.append(chunk, static_cast<std::size_t>(n));
    return true;
  }

  // Up to and including `delimiter`, without it in the result.
  bool ReadUntil(std::string_view delimiter, std::string& out) {
    for (;;) {
      std::size_t at = buffer_.find(delimiter);
      if (at != std::string::npos) {
        out = buffer_.substr(0, at);
        buffer_.erase(0, at + delimiter.size());
        return true;
      }
      if (buffer_.size() > (8u << 20) || !Fill()) return false;
    }
  }

  bool ReadExactly(std::size_t n, std::string& out) {
    while (buffer_.size() < n) {
      if (!Fill()) return false;
    }
    out.append(buffer_, 0, n);
    buffer_.erase(0, n);
    return true;
  }

 private:
  Link& link_;
  std::string buffer_;
};

bool ReadRequest(Reader& reader, RecordedRequest& request) {
  std::string head;
  if (!reader.ReadUntil("\r\n\r\n", head)) return false;
  std::size_t lineEnd = head.find("\r\n");
  std::string_view requestLine = std::string_view(head).substr(0, lineEnd);
  std::size_t sp1 = requestLine.find(' ');
  std::size_t sp2 = requestLine.rfind(' ');
  if (sp1 == std::string_view::npos || sp2 == sp1) return false;
  request.method = requestLine.substr(0, sp1);
  request.target = requestLine.substr(sp1 + 1, sp2 - sp1 - 1);
  request.version = requestLine.substr(sp2 + 1);
  std::string_view rest = lineEnd == std::string::npos ? std::string_view() : std::string_view(head).substr(lineEnd + 2);
  while (!rest.empty()) {
    std::size_t end = rest.find("\r\n");
    std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 2);
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    request.headers.emplace_back(std::string(Trim(line.substr(0, colon))), std::string(Trim(line.substr(colon + 1))));
  }
  if (EqualsIgnoreCase(request.Header("Transfer-Encoding"), "chunked")) {
    for (;;) {
      std::string sizeLine;
      if (!reader.ReadUntil("\r\n", sizeLine)) return false;
      std::size_t size = std::strtoul(sizeLine.c_str(), nullptr, 16);
      if (size == 0) {
        std::string trailer;
        do {
          if (!reader.ReadUntil("\r\n", trailer)) return false;
        } while (!trailer.empty());
        break;
      }
      std::string crlf;
      if (!reader.ReadExactly(size, request.body) || !reader.ReadExactly(2, crlf)) return false;
    }
  } else if (request.HasHeader("Content-Length")) {
    std::size_t length = std::strtoul(request.Header("Content-Length").c_str(), nullptr, 10);
    if (!reader.ReadExactly(length, request.body)) return false;
  }
  return true;
}

std::string StatusAndHeaders(const Reply& reply, bool head) {
  std::string out = "HTTP/1.1 " + std::to_string(reply.status) + " " + reply.reason + "\r\n";
  for (const auto& [name, value] : reply.headers) out += name + ": " + value + "\r\n";
  if (reply.chunked) {
    out += "Transfer-Encoding: chunked\r\n";
  } else if (reply.contentLength) {
    out += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n";
  }
  (void)head;
  out += "\r\n";
  return out;
}

std::string Framed(const Reply& reply) {
  if (!reply.chunked) return reply.body;
  std::string out;
  if (!reply.body.empty()) {
    char size[32];
    std::snprintf(size, sizeof size, "%zx\r\n", reply.body.size());
    out += size;
    out += reply.body;
    out += "\r\n";
  }
  out += "0\r\n\r\n";
  return out;
}

}  // namespace

std::string RecordedRequest::Header(std::string_view name) const {
  for (const auto& [n, v] : headers) {
    if (EqualsIgnoreCase(n, name)) return v;
  }
  return {};
}

bool RecordedRequest::HasHeader(std::string_view name) const { return HeaderCount(name) > 0; }

std::size_t RecordedRequest::HeaderCount(std::string_view name) const {
  std::size_t count = 0;
  for (const auto& header : headers) count += EqualsIgnoreCase(header.first, name) ? 1 : 0;
  return count;
}

TestServer::TestServer() : TestServer([](const RecordedRequest&) {
  Reply reply;
  reply.headers = {{"Content-Type", "text/plain"}};
  reply.body = "ok";
  return reply;
}) {}

std::string TestServer::CertificatePath() { return VELTROX_TESTING_DATA "/origin.crt"; }

TestServer::TestServer(Handler handler, Options options) : handler_(std::move(handler)) {
  // A TLS write to a peer that has gone raises SIGPIPE, which would end the test
  // process; plain sends use MSG_NOSIGNAL.
  signal(SIGPIPE, SIG_IGN);
  if (options.tls) {
    tls_ = SSL_CTX_new(TLS_server_method());
    if (!tls_ || SSL_CTX_use_certificate_chain_file(tls_, CertificatePath().c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(tls_, VELTROX_TESTING_DATA "/origin.key", SSL_FILETYPE_PEM) != 1) {
      throw std::runtime_error("test server: cannot load the TLS certificate");
    }
  }
  // The engine never reports a URL that holds "443", so a port of the kernel's
  // choosing that holds it is given back for another.
  for (;;) {
    listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(options.port);
    socklen_t len = sizeof addr;
    if (listenFd_ < 0 || bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listenFd_, 1024) != 0 || getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      throw std::runtime_error("test server: cannot listen on loopback");
    }
    port_ = ntohs(addr.sin_port);
    if (options.port != 0 || std::to_string(port_).find("443") == std::string::npos) break;
    close(listenFd_);
  }
  if (pipe2(wakeFds_, O_CLOEXEC) != 0) throw std::runtime_error("test server: no pipe");
  acceptThread_ = std::thread([this] { AcceptLoop(); });
}

TestServer::~TestServer() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    for (int fd : openFds_) shutdown(fd, SHUT_RDWR);
  }
  char wake = 0;
  (void)!write(wakeFds_[1], &wake, 1);
  acceptThread_.join();
  std::vector<std::thread> workers;
  {
    std::lock_guard lock(mutex_);
    workers.swap(workers_);
  }
  for (auto& worker : workers) worker.join();
  if (listenFd_ >= 0) close(listenFd_);
  close(wakeFds_[0]);
  close(wakeFds_[1]);
  if (tls_) SSL_CTX_free(tls_);
}

std::string TestServer::Url(std::string_view path) const {
  return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

void TestServer::SetHandler(Handler handler) {
  std::lock_guard lock(mutex_);
  handler_ = std::move(handler);
}

void TestServer::SetReply(Reply reply) {
  SetHandler([reply = std::move(reply)](const RecordedRequest&) { return reply; });
}

std::vector<RecordedRequest> TestServer::Requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::size_t TestServer::RequestCount() const {
  std::lock_guard lock(mutex_);
  return requests_.size();
}

std::size_t TestServer::ConnectionCount() const {
  std::lock_guard lock(mutex_);
  return connections_;
}

bool TestServer::WaitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return arrived_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
}

void TestServer::Refuse() {
  std::lock_guard lock(mutex_);
  if (listenFd_ >= 0) {
    shutdown(listenFd_, SHUT_RDWR);
    close(listenFd_);
    listenFd_ = -1;
  }
}

void TestServer::AcceptLoop() {
  for (;;) {
    int listenFd;
    {
      std::lock_guard lock(mutex_);
      if (stopping_) return;
      listenFd = listenFd_;
    }
    pollfd fds[2] = {{wakeFds_[0], POLLIN, 0}, {listenFd, POLLIN, 0}};
    int ready = poll(fds, listenFd >= 0 ? 2 : 1, 100);
    if (ready <= 0) continue;
    if (fds[0].revents) return;
    if (!(fds[1].revents & POLLIN)) continue;
    int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::lock_guard lock(mutex_);
    if (stopping_) {
      close(fd);
      return;
    }
    ++connections_;
    openFds_.insert(fd);
    workers_.emplace_back([this, fd] { Serve(fd); });
  }
}

void TestServer::Serve(int fd) {
  SSL* ssl = nullptr;
  if (tls_) {
    ssl = SSL_new(tls_);
    SSL_set_fd(ssl, fd);
    if (SSL_accept(ssl) != 1) {
      SSL_free(ssl);
      ssl = nullptr;
      std::lock_guard lock(mutex_);
      openFds_.erase(fd);
      close(fd);
      return;
    }
  }
  Link link(fd, ssl);
  Reader reader(link);
  bool reset = false;
  for (;;) {
    RecordedRequest request;
    if (!ReadRequest(reader, request)) break;
    Handler handler;
    {
      std::lock_guard lock(mutex_);
      requests_.push_back(request);
      handler = handler_;
    }
    arrived_.notify_all();
    Reply reply = handler(request);
    if (reply.delay.count() > 0) std::this_thread::sleep_for(reply.delay);
    reset = reply.reset && reply.cut != Reply::Cut::None;
    if (reply.cut == Reply::Cut::WithoutAnswer) break;
    if (!reply.raw.empty()) {
      if (!link.SendAll(reply.raw)) break;
      if (reply.cut != Reply::Cut::None) break;
      continue;
    }
    const bool head = request.method == "HEAD";
    std::string header = StatusAndHeaders(reply, head);
    if (reply.cut == Reply::Cut::MidHeader) {
      link.SendAll(std::string_view(header).substr(0, header.size() / 2));
      break;
    }
    if (!link.SendAll(header)) break;
    if (reply.cut == Reply::Cut::AfterHeaders) break;
    if (!head) {
      std::string body = Framed(reply);
      if (reply.cut == Reply::Cut::MidBody) {
        link.SendAll(std::string_view(body).substr(0, body.size() / 2));
        break;
      }
      if (!link.SendAll(body)) break;
    }
    if (reply.cut == Reply::Cut::AfterReply) break;
    const std::string connection = request.Header("Connection");
    if (EqualsIgnoreCase(connection, "close") || (request.version == "HTTP/1.0" && !EqualsIgnoreCase(connection, "keep-alive"))) {
      break;
    }
  }
  std::lock_guard lock(mutex_);
  openFds_.erase(fd);
  if (reset) {
    linger abort{1, 0};  // closing now sends RST and drops what is unsent
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  } else {
    shutdown(fd, SHUT_RDWR);
  }
  close(fd);
}

std::uint16_t FreePort() {
  int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in6 addr{};
  addr.sin6_family = AF_INET6;
  addr.sin6_addr = in6addr_any;
  socklen_t len = sizeof addr;
  std::uint16_t port = 0;
  if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    port = ntohs(addr.sin6_port);
  }
  if (fd >= 0) close(fd);
  return port;
}

}  // namespace veltrox::testing
