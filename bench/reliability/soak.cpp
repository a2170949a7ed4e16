// A steady mixed load at a fixed rate for minutes: small requests on
// kept-alive connections, requests on connections of their own, 64 KiB
// downloads and 64 KiB uploads. The proxy's resident memory is read at the
// start and then once a period (a minute unless told otherwise).

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "http_client.h"

namespace veltrox::bench {
namespace {

using asio::redirect_error;
using asio::use_awaitable;
using Clock = std::chrono::steady_clock;

enum Kind { kSmall, kFresh, kDownload, kUpload, kKinds };
constexpr const char* kKindNames[kKinds] = {"kept-alive small", "new connection", "64 KiB download",
                                            "64 KiB upload"};
// Out of every ten requests.
constexpr Kind kMix[10] = {kSmall, kSmall, kSmall, kSmall, kSmall, kSmall, kSmall, kFresh, kDownload, kUpload};
// What the origin answers: /small "hello, world\n", /64k 65536 bytes, /upload "stored\n".
constexpr long long kAnswerBytes[kKinds] = {13, 13, 65536, 7};
constexpr std::size_t kUploadBytes = 65536;
constexpr std::chrono::seconds kTimeout{60};

struct Soak {
  const Target& target;
  Clock::time_point start;
  Clock::time_point end;
  std::chrono::nanoseconds interval;
  std::uint64_t next = 0;
  std::array<std::uint64_t, kKinds> done{};
  Failures failures;
  std::vector<float> latencyMs;
  std::string upload = std::string(kUploadBytes, 'u');
};

http::request<http::string_body> RequestFor(const Soak& soak, Kind kind) {
  switch (kind) {
    case kDownload: return MakeRequest(soak.target, "/64k");
    case kUpload: return MakeRequest(soak.target, "/upload", soak.upload);
    default: return MakeRequest(soak.target, "/small");
  }
}

// Takes the next request of the schedule, waits for its time and makes it;
// its own kept-alive connection is opened again whenever one is lost.
asio::awaitable<void> Worker(asio::io_context& io, Soak& soak) {
  std::unique_ptr<Connection> kept;
  asio::steady_timer timer(io);
  for (;;) {
    const std::uint64_t ticket = soak.next++;
    const Clock::time_point when = soak.start + ticket * soak.interval;
    if (when >= soak.end) break;
    if (when > Clock::now()) {
      timer.expires_at(when);
      error_code ec;
      co_await timer.async_wait(redirect_error(use_awaitable, ec));
    }
    const Kind kind = kMix[ticket % 10];
    const Clock::time_point begun = Clock::now();
    std::string cause;
    auto request = RequestFor(soak, kind);
    if (kind == kFresh) {
      Connection fresh(io);
      cause = co_await ConnectToProxy(fresh.stream, soak.target, kTimeout);
      if (cause.empty()) {
        cause = Verdict(co_await Exchange(fresh.stream, fresh.buffer, request, kTimeout), kAnswerBytes[kind]);
      }
      error_code ec;
      fresh.stream.socket().close(ec);
    } else {
      if (!kept) {
        kept = std::make_unique<Connection>(io);
        cause = co_await ConnectToProxy(kept->stream, soak.target, kTimeout);
      }
      if (cause.empty()) {
        cause = Verdict(co_await Exchange(kept->stream, kept->buffer, request, kTimeout), kAnswerBytes[kind]);
      }
      if (!cause.empty()) kept.reset();
    }
    if (cause.empty()) {
      ++soak.done[kind];
      soak.latencyMs.push_back(std::chrono::duration<float, std::milli>(Clock::now() - begun).count());
    } else {
      soak.failures.Add(std::string(kKindNames[kind]) + ": " + cause);
    }
  }
}

std::uint64_t Succeeded(const Soak& soak) {
  std::uint64_t n = 0;
  for (auto d : soak.done) n += d;
  return n;
}

asio::awaitable<void> Sampler(asio::io_context& io, Soak& soak, std::chrono::seconds period, int samples) {
  asio::steady_timer timer(io);
  for (int i = 0; i <= samples; ++i) {
    timer.expires_at(soak.start + i * period);
    error_code ec;
    co_await timer.async_wait(redirect_error(use_awaitable, ec));
    std::printf("sample=%d %.1f %lld %lld %llu %llu\n", i, SecondsSince(soak.start),
                ProcessStatus(soak.target.proxyPid, "VmRSS"), ProcessStatus(soak.target.proxyPid, "Threads"),
                static_cast<unsigned long long>(Succeeded(soak)), static_cast<unsigned long long>(soak.failures.Total()));
    std::fflush(stdout);
  }
}

float Percentile(std::vector<float>& values, double p) {
  if (values.empty()) return 0;
  auto at = values.begin() + static_cast<std::ptrdiff_t>(p * static_cast<double>(values.size() - 1));
  std::nth_element(values.begin(), at, values.end());
  return *at;
}

}  // namespace

int RunSoak(const Target& target, int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "soak needs minutes and requests per second\n");
    return 2;
  }
  const double minutes = std::strtod(argv[0], nullptr);
  const double rate = std::strtod(argv[1], nullptr);
  const int workers = argc > 2 ? std::atoi(argv[2]) : 32;
  const auto period = std::chrono::seconds(argc > 3 ? std::atoi(argv[3]) : 60);
  if (minutes <= 0 || rate <= 0 || workers <= 0 || period.count() <= 0) return 2;

  asio::io_context io(1);
  Soak soak{target};
  soak.start = Clock::now() + std::chrono::milliseconds(100);
  const auto length = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(minutes * 60));
  soak.end = soak.start + length;
  soak.interval = std::chrono::nanoseconds(static_cast<long long>(1e9 / rate));
  soak.latencyMs.reserve(static_cast<std::size_t>(rate * minutes * 60) + 16);
  const int samples = static_cast<int>(length / period);

  std::printf("sample_columns=index seconds rss_kib threads requests errors\n");
  for (int i = 0; i < workers; ++i) asio::co_spawn(io, Worker(io, soak), asio::detached);
  asio::co_spawn(io, Sampler(io, soak, period, samples), asio::detached);
  io.run();
  const double seconds = SecondsSince(soak.start);

  const std::uint64_t ok = Succeeded(soak);
  std::printf("seconds=%.1f\nplanned_rps=%.0f\nrequests=%llu\nrps=%.1f\n", seconds, rate,
              static_cast<unsigned long long>(ok), ok / seconds);
  for (int k = 0; k < kKinds; ++k) {
    std::printf("requests_%d=%llu %s\n", k, static_cast<unsigned long long>(soak.done[k]), kKindNames[k]);
  }
  std::printf("p50_ms=%.2f\np99_ms=%.2f\n", Percentile(soak.latencyMs, 0.5), Percentile(soak.latencyMs, 0.99));
  std::printf("rss_end_kib=%lld\nhwm_kib=%lld\n", ProcessStatus(target.proxyPid, "VmRSS"),
              ProcessStatus(target.proxyPid, "VmHWM"));
  std::printf("errors=%llu\nerror_causes=%s\n", static_cast<unsigned long long>(soak.failures.Total()),
              soak.failures.Text().c_str());
  return 0;
}

}  // namespace veltrox::bench
