// Many kept-alive connections through the proxy at once: each is opened and
// makes one request (at most `window` of them being opened at a time), all
// of them stay open, then every one sends a second request at the same moment.

#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "http_client.h"

namespace veltrox::bench {
namespace {

using asio::redirect_error;
using asio::use_awaitable;

// The origin's /small answers these 13 bytes ("hello, world\n").
constexpr long long kSmallBody = 13;
// Generous: a slow answer is measured, not counted as lost.
constexpr std::chrono::seconds kTimeout{600};

struct Phase {
  std::vector<std::unique_ptr<Connection>>& connections;
  const Target& target;
  Failures& failures;
  std::size_t next = 0;
  std::size_t done = 0;
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
  std::string progress;  // seconds at every thousandth connection done
};

void Progress(Phase& phase) {
  ++phase.done;
  if (phase.done % 1000 == 0) {
    char text[32];
    std::snprintf(text, sizeof text, "%s%.1f", phase.progress.empty() ? "" : " ", SecondsSince(phase.start));
    phase.progress += text;
  }
}

// Marks connections that the proxy has closed (or sent unasked bytes on)
// while they were held: a read that would block is an open, quiet one.
void CheckHeld(std::vector<std::unique_ptr<Connection>>& connections, Failures& failures) {
  for (auto& c : connections) {
    if (!c || !c->open) continue;
    char probe;
    ssize_t n = ::recv(c->stream.socket().native_handle(), &probe, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    failures.Add(n == 0 ? "closed by the proxy while held" : n > 0 ? "unasked bytes while held" : "reset while held");
    c->open = false;
  }
}

asio::awaitable<void> Open(asio::io_context& io, Phase& phase) {
  while (phase.next < phase.connections.size()) {
    auto& c = phase.connections[phase.next++];
    c = std::make_unique<Connection>(io);
    std::string cause = co_await ConnectToProxy(c->stream, phase.target, kTimeout);
    if (cause.empty()) {
      auto request = MakeRequest(phase.target, "/small");
      cause = Verdict(co_await Exchange(c->stream, c->buffer, request, kTimeout), kSmallBody);
    }
    if (cause.empty()) {
      c->open = true;
    } else {
      phase.failures.Add("first request: " + cause);
      c->stream.close();
    }
    Progress(phase);
  }
}

asio::awaitable<void> Again(Connection& c, Phase& phase) {
  auto request = MakeRequest(phase.target, "/small");
  std::string cause = Verdict(co_await Exchange(c.stream, c.buffer, request, kTimeout), kSmallBody);
  if (!cause.empty()) {
    phase.failures.Add("second request: " + cause);
    c.open = false;
  }
  Progress(phase);
}

// The most the proxy held while `phase` runs, sampled every 100 ms.
asio::awaitable<void> Sample(asio::io_context& io, const Phase& phase, int pid, long long& peakRss,
                             long long& peakThreads) {
  asio::steady_timer timer(io);
  while (phase.done < phase.connections.size()) {
    peakRss = std::max(peakRss, ProcessStatus(pid, "VmRSS"));
    peakThreads = std::max(peakThreads, ProcessStatus(pid, "Threads"));
    timer.expires_after(std::chrono::milliseconds(100));
    error_code ec;
    co_await timer.async_wait(redirect_error(use_awaitable, ec));
  }
}

std::size_t CountOpen(const std::vector<std::unique_ptr<Connection>>& connections) {
  std::size_t n = 0;
  for (const auto& c : connections) n += c && c->open ? 1 : 0;
  return n;
}

}  // namespace

int RunHold(const Target& target, int argc, char** argv) {
  if (argc < 1) {
    std::fprintf(stderr, "hold needs the number of connections\n");
    return 2;
  }
  const std::size_t count = std::strtoul(argv[0], nullptr, 10);
  const std::size_t window = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
  asio::io_context io(1);
  std::vector<std::unique_ptr<Connection>> connections(count);
  long long peakRss = 0;
  long long peakThreads = 0;

  std::printf("rss_before_kib=%lld\n", ProcessStatus(target.proxyPid, "VmRSS"));
  Failures failures;
  Phase first{connections, target, failures};
  for (std::size_t i = 0; i < std::min(window, count); ++i) asio::co_spawn(io, Open(io, first), asio::detached);
  asio::co_spawn(io, Sample(io, first, target.proxyPid, peakRss, peakThreads), asio::detached);
  io.run();
  const double firstSeconds = SecondsSince(first.start);
  const std::size_t opened = CountOpen(connections);

  // All of them idle and open at once for a moment before the second round.
  std::this_thread::sleep_for(std::chrono::seconds(2));
  CheckHeld(connections, failures);
  const std::size_t held = CountOpen(connections);
  const long long rssHeld = ProcessStatus(target.proxyPid, "VmRSS");
  const long long threadsHeld = ProcessStatus(target.proxyPid, "Threads");

  Phase second{connections, target, failures};
  for (auto& c : connections) {
    if (c && c->open) {
      asio::co_spawn(io, Again(*c, second), asio::detached);
    } else {
      ++second.done;
    }
  }
  io.restart();
  asio::co_spawn(io, Sample(io, second, target.proxyPid, peakRss, peakThreads), asio::detached);
  io.run();
  const double secondSeconds = SecondsSince(second.start);
  const std::size_t stillOpen = CountOpen(connections);
  const long long rssAfter = ProcessStatus(target.proxyPid, "VmRSS");
  const long long hwm = ProcessStatus(target.proxyPid, "VmHWM");

  std::printf("connections=%zu\nwindow=%zu\n", count, window);
  std::printf("first_ok=%zu\nfirst_seconds=%.2f\nfirst_rps=%.0f\n", opened, firstSeconds, opened / firstSeconds);
  std::printf("first_progress=%s\n", first.progress.c_str());
  std::printf("held=%zu\nrss_held_kib=%lld\nthreads_held=%lld\n", held, rssHeld, threadsHeld);
  std::printf("second_ok=%zu\nsecond_seconds=%.2f\nsecond_rps=%.0f\n", stillOpen, secondSeconds,
              stillOpen / secondSeconds);
  std::printf("rss_after_kib=%lld\nrss_peak_sampled_kib=%lld\nhwm_kib=%lld\nthreads_peak=%lld\n", rssAfter, peakRss,
              hwm, peakThreads);
  std::printf("errors=%llu\nerror_causes=%s\n", static_cast<unsigned long long>(failures.Total()),
              failures.Text().c_str());
  return 0;
}

}  // namespace veltrox::bench
