#include "proxy.h"

#include <algorithm>
#include <thread>

#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "runtime.h"
#include "text_scan.h"

namespace veltrox::proxy {
namespace {

using asio::redirect_error;
using asio::use_awaitable;

std::vector<asio::ip::address> InterfaceAddresses() {
  std::vector<asio::ip::address> out;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return out;
  for (ifaddrs* it = list; it != nullptr; it = it->ifa_next) {
    if (it->ifa_addr == nullptr) continue;
    if (it->ifa_addr->sa_family == AF_INET) {
      const auto* in = reinterpret_cast<const sockaddr_in*>(it->ifa_addr);
      out.push_back(asio::ip::address_v4(ntohl(in->sin_addr.s_addr)));
    } else if (it->ifa_addr->sa_family == AF_INET6) {
      const auto* in6 = reinterpret_cast<const sockaddr_in6*>(it->ifa_addr);
      asio::ip::address_v6::bytes_type bytes;
      std::copy(std::begin(in6->sin6_addr.s6_addr), std::end(in6->sin6_addr.s6_addr), bytes.begin());
      out.push_back(asio::ip::address_v6(bytes, in6->sin6_scope_id));
    }
  }
  freeifaddrs(list);
  return out;
}

bool Listen(tcp::acceptor& acceptor, const tcp::endpoint& endpoint, bool dualStack, error_code& ec) {
  acceptor.open(endpoint.protocol(), ec);
  if (ec) return false;
  KeepFromChildren(acceptor.native_handle());
  acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
  if (endpoint.protocol() == tcp::v6()) acceptor.set_option(asio::ip::v6_only(!dualStack), ec);
  acceptor.bind(endpoint, ec);
  if (ec) return false;
  acceptor.listen(asio::socket_base::max_listen_connections, ec);
  return !ec;
}

// One descriptor held back for the moment the process has none left. Giving it
// up lets the proxy take the waiting connection, tell the client why and close
// it, instead of leaving the client hanging in the listen queue until
// descriptors free.
std::atomic<int> spareDescriptor{-1};

void HoldSpareDescriptor() {
  if (spareDescriptor.load() >= 0) return;
  int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  int none = -1;
  if (!spareDescriptor.compare_exchange_strong(none, fd)) close(fd);
}

// Answers one waiting client with 503 on the spare descriptor. False when
// there was no spare to give up.
bool TurnAwayOneClient(tcp::acceptor& acceptor) {
  int spare = spareDescriptor.exchange(-1);
  if (spare < 0) return false;
  close(spare);
  int client = accept4(acceptor.native_handle(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (client >= 0) {
    static const std::string kBusy = [] {
      std::string body = "503 Service Unavailable\r\nthe proxy has no file descriptors left\r\n";
      return "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " +
             std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    }();
    // What the client sent already is read first, so that closing does not
    // reset the connection before it has read the answer.
    char drain[4096];
    while (recv(client, drain, sizeof drain, MSG_DONTWAIT) > 0) {
    }
    (void)send(client, kBusy.data(), kBusy.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    shutdown(client, SHUT_WR);
    close(client);
  }
  HoldSpareDescriptor();
  return true;
}

asio::awaitable<void> Accept(Runtime& runtime, tcp::acceptor& acceptor, bool tls) {
  bool clientWaiting = false;  // known since the last accept that failed for want of descriptors
  for (;;) {
    unsigned index = runtime.nextContext++ % runtime.contexts.size();
    ContextState& target = *runtime.contexts[index];
    error_code ec;
    tcp::socket socket = co_await acceptor.async_accept(target.io, redirect_error(use_awaitable, ec));
    if (runtime.stopping.load()) co_return;
    if (!ec) {
      clientWaiting = false;
      KeepFromChildren(socket.native_handle());
      HoldSpareDescriptor();  // given up or lost while descriptors were short
    }
    if (ec) {
      if (ec == asio::error::operation_aborted || ec == asio::error::bad_descriptor) co_return;
      if (ec.value() == EMFILE || ec.value() == ENFILE) {
        if (!clientWaiting) {
          // The kernel says so before it looks for a connection: wait until
          // one is really there, rather than spin, and try once more.
          error_code waited;
          co_await acceptor.async_wait(tcp::acceptor::wait_read, redirect_error(use_awaitable, waited));
          if (runtime.stopping.load() || waited == asio::error::operation_aborted) co_return;
          clientWaiting = true;
          continue;
        }
        clientWaiting = false;
        if (TurnAwayOneClient(acceptor)) continue;
      }
      // Out of descriptors with none in reserve, and the like: wait a moment
      // instead of spinning.
      asio::steady_timer pause(acceptor.get_executor(), std::chrono::milliseconds(50));
      co_await pause.async_wait(redirect_error(use_awaitable, ec));
      continue;
    }
    if (tls) {
      asio::co_spawn(target.io, ServeTlsClient(runtime, target, std::move(socket)), asio::detached);
    } else {
      asio::co_spawn(target.io, ServeClient(runtime, target, std::move(socket)), asio::detached);
    }
  }
}

}  // namespace

bool Proxy::Runtime::IsOwnEndpoint(const std::string& host, std::uint16_t targetPort) const {
  if (targetPort != port && (tlsPort == 0 || targetPort != tlsPort)) return false;
  if (EqualsText(host, "localhost", true) || EqualsText(host, hostName, true)) return true;
  if (host.size() > 10 && EqualsText(std::string_view(host).substr(host.size() - 10), ".localhost", true)) return true;
  error_code ec;
  auto address = asio::ip::make_address(host, ec);
  if (ec) return false;
  if (address.is_v6() && address.to_v6().is_v4_mapped()) {
    address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
  }
  if (address.is_loopback() || address.is_unspecified()) return true;
  for (const auto& own : ownAddresses) {
    if (own == address) return true;
  }
  return false;
}

Proxy::Proxy() = default;

Proxy::~Proxy() { Stop(); }

bool Proxy::Start(Settings settings, Handlers handlers) {
  Stop();
  auto runtime = std::make_shared<Runtime>();
  runtime->settings = std::move(settings);
  runtime->handlers = std::move(handlers);
  unsigned threads = runtime->settings.ioThreads;
  if (threads == 0) threads = std::clamp(std::thread::hardware_concurrency() / 2, 1u, 4u);
  for (unsigned i = 0; i < threads; ++i) runtime->contexts.push_back(std::make_unique<ContextState>());
  asio::io_context& first = runtime->contexts.front()->io;

  std::vector<tcp::endpoint> endpoints;
  std::uint16_t port = runtime->settings.port;
  if (runtime->settings.allowRemoteClients) {
    endpoints.emplace_back(asio::ip::address_v6::any(), port);
  } else {
    endpoints.emplace_back(asio::ip::address_v4::loopback(), port);
  }
  error_code ec;
  {
    tcp::acceptor acceptor(first);
    bool ok = Listen(acceptor, endpoints.front(), true, ec);
    if (!ok && runtime->settings.allowRemoteClients && ec != asio::error::address_in_use) {
      // No IPv6 on this machine: every IPv4 interface instead.
      acceptor = tcp::acceptor(first);
      ok = Listen(acceptor, tcp::endpoint(asio::ip::address_v4::any(), port), false, ec);
    }
    if (!ok) return false;
    port = acceptor.local_endpoint(ec).port();
    runtime->acceptors.push_back(std::move(acceptor));
  }
  if (!runtime->settings.allowRemoteClients) {
    tcp::acceptor acceptor(first);
    if (Listen(acceptor, tcp::endpoint(asio::ip::address_v6::loopback(), port), false, ec)) {
      runtime->acceptors.push_back(std::move(acceptor));
    }
  }
  runtime->port = port;
  if (std::uint16_t tlsPort = runtime->settings.localhostTlsPort; tlsPort != 0 && tlsPort != port) {
    tcp::acceptor acceptor(first);
    bool ok = Listen(acceptor, tcp::endpoint(asio::ip::address_v6::any(), tlsPort), true, ec);
    if (!ok && ec != asio::error::address_in_use) {
      acceptor = tcp::acceptor(first);
      ok = Listen(acceptor, tcp::endpoint(asio::ip::address_v4::any(), tlsPort), false, ec);
    }
    // Taken by another program: the main port serves on without it.
    if (ok) {
      runtime->tlsPort = tlsPort;
      runtime->tlsAcceptors.push_back(std::move(acceptor));
    }
  }
  HoldSpareDescriptor();
  runtime->ownAddresses = InterfaceAddresses();
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) == 0) runtime->hostName = name;

  for (auto& acceptor : runtime->acceptors) {
    asio::co_spawn(first, Accept(*runtime, acceptor, false), asio::detached);
  }
  for (auto& acceptor : runtime->tlsAcceptors) {
    asio::co_spawn(first, Accept(*runtime, acceptor, true), asio::detached);
  }
  for (auto& context : runtime->contexts) {
    runtime->guards.push_back(asio::make_work_guard(context->io));
    runtime->threads.emplace_back([io = &context->io] { io->run(); });
  }
  runtime_ = std::move(runtime);
  return true;
}

void Proxy::Stop() {
  if (!runtime_) return;
  std::shared_ptr<Runtime> runtime = std::move(runtime_);
  runtime->stopping.store(true);
  for (auto& context : runtime->contexts) context->io.stop();
  for (auto& thread : runtime->threads) thread.join();
  // No I/O thread runs now: the lists of open connections are ours to walk.
  error_code ec;
  for (auto& acceptor : runtime->acceptors) acceptor.close(ec);
  for (auto& acceptor : runtime->tlsAcceptors) acceptor.close(ec);
  for (auto& context : runtime->contexts) {
    context->idle.clear();
    for (beast::tcp_stream* stream : context->open) {
      stream->socket().shutdown(tcp::socket::shutdown_both, ec);
      stream->socket().close(ec);
    }
  }
  runtime->guards.clear();
  runtime->threads.clear();
  // Handlers still running hold the runtime; the last of them releases it.
}

bool Proxy::IsRunning() const { return runtime_ != nullptr; }

std::uint16_t Proxy::Port() const { return runtime_ ? runtime_->port : 0; }

std::uint16_t Proxy::LocalhostTlsPort() const { return runtime_ ? runtime_->tlsPort : 0; }

}  // namespace veltrox::proxy
