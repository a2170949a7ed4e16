// What the program adds to every reported event, with the rule lookup done
// two ways: a hash of the snapshot (one probe), and a scan of the rows in
// order (what a table without an index costs).

#include <benchmark/benchmark.h>

#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "edit_slots.h"
#include "engine_bridge.h"
#include "rewrite_hook.h"
#include "session_record.h"

namespace veltrox {
namespace {

struct Event {
  std::string url;
  std::string headers = "GET /api HTTP/1.1\r\nHost: 127.0.0.1:3000\r\nAccept: */*\r\n" + std::string(600, 'h') + "\r\n";
  std::string cookie = "session=" + std::string(64, 'c');
  std::string process = "chromium:4242";
  std::string body;
  std::string contentType = "application/json";
  std::string length = "0";
  RecordWord words[kBlockWords + 1] = {};

  explicit Event(std::string u, std::int32_t type = kTypeSend) : url(std::move(u)) {
    const std::string* texts[] = {&url, &headers, &cookie, &process, &body, &contentType, &length};
    for (std::size_t i = 0; i < 7; ++i) words[i] = reinterpret_cast<RecordWord>(texts[i]->c_str());
    words[kWordSessionId] = 7;
    words[kWordTypeCode] = static_cast<std::uint32_t>(type);
  }
  std::uintptr_t Address() const { return reinterpret_cast<std::uintptr_t>(words); }
};

using Rules = std::vector<std::pair<std::string, std::string>>;

Rules MakeRules(int count) {
  Rules rules;
  for (int i = 0; i < count; ++i) {
    rules.emplace_back("http://127.0.0.1:3000/api/resource/" + std::to_string(i) + "?page=1",
                       "https://api.example.com/v2/resource/" + std::to_string(i));
  }
  return rules;
}

void InstallScan(Rules rules) {
  InstallRewriteDependencies(
      [rules = std::move(rules)](std::string_view url) -> std::optional<std::pair<std::string, std::string>> {
        for (const auto& rule : rules) {
          if (rule.first == url) return rule;
        }
        return std::nullopt;
      },
      [](std::string_view) {});
}

void InstallHash(const Rules& rules) {
  std::unordered_map<std::string, std::pair<std::string, std::string>> index;
  for (const auto& rule : rules) index.try_emplace(rule.first, rule);  // upper row kept
  InstallRewriteDependencies(
      [index = std::move(index)](std::string_view url) -> std::optional<std::pair<std::string, std::string>> {
        auto it = index.find(std::string(url));
        if (it == index.end()) return std::nullopt;
        return it->second;
      },
      [](std::string_view) {});
}

void BM_DecodeSession(benchmark::State& state) {
  Event event("http://127.0.0.1:3000/api/resource/none?page=1");
  for (auto _ : state) benchmark::DoNotOptimize(DecodeSession(event.Address()));
}
BENCHMARK(BM_DecodeSession);

void BM_HookNoMatchScan(benchmark::State& state) {
  InstallScan(MakeRules(static_cast<int>(state.range(0))));
  Event event("http://127.0.0.1:3000/api/resource/none?page=1");
  RecordWord slots[kSlotCount * kSlotWords + 1] = {};
  for (auto _ : state) RewriteHook(event.Address(), reinterpret_cast<std::uintptr_t>(slots));
}
BENCHMARK(BM_HookNoMatchScan)->Arg(0)->Arg(1000);

void BM_HookNoMatchHash(benchmark::State& state) {
  InstallHash(MakeRules(static_cast<int>(state.range(0))));
  Event event("http://127.0.0.1:3000/api/resource/none?page=1");
  RecordWord slots[kSlotCount * kSlotWords + 1] = {};
  for (auto _ : state) RewriteHook(event.Address(), reinterpret_cast<std::uintptr_t>(slots));
}
BENCHMARK(BM_HookNoMatchHash)->Arg(0)->Arg(1000);

void BM_HookResponse(benchmark::State& state) {
  InstallScan(MakeRules(1000));
  Event event("http://127.0.0.1:3000/api/resource/5?page=1", kTypeRecv);
  RecordWord slots[kSlotCount * kSlotWords + 1] = {};
  for (auto _ : state) RewriteHook(event.Address(), reinterpret_cast<std::uintptr_t>(slots));
}
BENCHMARK(BM_HookResponse);

void BM_HookMatchHash(benchmark::State& state) {
  InstallHash(MakeRules(1000));
  Event event("http://127.0.0.1:3000/api/resource/500?page=1");
  for (auto _ : state) {
    RecordWord slots[kSlotCount * kSlotWords + 1] = {};
    RewriteHook(event.Address(), reinterpret_cast<std::uintptr_t>(slots));
    benchmark::DoNotOptimize(slots[0]);
  }
}
BENCHMARK(BM_HookMatchHash);

void BM_WriteEdit(benchmark::State& state) {
  const std::string url = "https://api.example.com/v2/resource/500";
  for (auto _ : state) {
    RecordWord slots[kSlotCount * kSlotWords + 1] = {};
    EngineBridge::SetUrl(reinterpret_cast<std::uintptr_t>(slots), url);
    benchmark::DoNotOptimize(slots[1]);
  }
}
BENCHMARK(BM_WriteEdit);

}  // namespace
}  // namespace veltrox

BENCHMARK_MAIN();
