// Proxy throughput with the real engine, the real rewriting hook and the real
// rule table, with 0 and with 1,000 rules of which none matches: what a large
// table costs a request that is not rewritten. Keep-alive clients on loopback
// against the project's test server; rounds alternate between the two tables.
//   rewrite_bench [seconds per round] [rounds] [clients]
#include <QCoreApplication>

#include <curl/curl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

#include "engine_bridge.h"
#include "files.h"
#include "library_loading.h"
#include "rewrite_hook.h"
#include "rule_table.h"
#include "test_server.h"

namespace {

using namespace veltrox;

std::size_t Discard(char*, std::size_t size, std::size_t count, void*) { return size * count; }

// Requests per second that `clients` keep-alive connections reach in `seconds`.
double Measure(std::uint16_t proxyPort, const std::string& url, int clients, double seconds) {
  std::atomic<long> done{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int i = 0; i < clients; ++i) {
    threads.emplace_back([&] {
      CURL* curl = curl_easy_init();
      curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
      curl_easy_setopt(curl, CURLOPT_PROXY, ("http://127.0.0.1:" + std::to_string(proxyPort)).c_str());
      curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Discard);
      while (!stop.load(std::memory_order_relaxed)) {
        if (curl_easy_perform(curl) == CURLE_OK) done.fetch_add(1, std::memory_order_relaxed);
      }
      curl_easy_cleanup(curl);
    });
  }
  const auto begin = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop = true;
  for (auto& thread : threads) thread.join();
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  return static_cast<double>(done.load()) / elapsed;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
  const int clients = argc > 3 ? std::atoi(argv[3]) : 4;
  QCoreApplication application(argc, argv);
  curl_global_init(CURL_GLOBAL_DEFAULT);

  const std::filesystem::path dir = std::filesystem::temp_directory_path() / ("veltrox-rewrite-bench-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const std::string ini = (dir / "p.ini").string();
  RuleTable rules(ini);
  InstallRewriteDependencies(
      [&rules](std::string_view url) -> std::optional<std::pair<std::string, std::string>> {
        if (auto rule = rules.LookUp(url)) return std::pair{rule->specifiedAddress, rule->targetAddress};
        return std::nullopt;
      },
      [](std::string_view) {});

  testing::TestServer origin;
  const LoadedLibrary library = LoadLibraryFile(VELTROX_ENGINE_LIBRARY);
  if (library.handle == nullptr) {
    std::fprintf(stderr, "cannot load the engine: %d\n", library.errorCode);
    return 1;
  }
  EngineBridge engine(library.handle);
  const std::uint16_t port = testing::FreePort();
  if (engine.InitFiddler(port, &RewriteHook) == 0) {
    std::fprintf(stderr, "the engine did not start\n");
    return 1;
  }

  std::string thousand;
  for (int i = 0; i < 1000; ++i) {
    thousand += origin.Url("/rule/" + std::to_string(i)) + "----https://api.example.com/v1/" + std::to_string(i) + "|";
  }
  const std::string url = origin.Url("/data");
  Measure(port, url, clients, 1.0);  // warm-up
  std::vector<double> none, many;
  for (int round = 0; round < rounds; ++round) {
    WriteFileAtomically(ini, "[user]\r\ndata=\r\n");
    rules.LoadRules();
    none.push_back(Measure(port, url, clients, seconds));
    WriteFileAtomically(ini, "[user]\r\ndata=" + thousand + "\r\n");
    rules.LoadRules();
    many.push_back(Measure(port, url, clients, seconds));
    std::printf("round %d: 0 rules %.0f req/s, 1000 rules %.0f req/s\n", round + 1, none.back(), many.back());
  }
  std::printf("median: 0 rules %.0f req/s, 1000 rules %.0f req/s, ratio %.3f\n", Median(none), Median(many),
              Median(many) / Median(none));
  engine.CloseFiddler();
  std::filesystem::remove_all(dir);
  return 0;
}
