// Lines per second that AppendLog reaches when every line asks a loopback
// clock server for the time, from one and from eight threads other than the
// GUI thread (the way the interception hooks log). The GUI thread only serves
// the appends, as it does in the tool.
//
//   build/bench/log/log_bench --benchmark_min_time=2

#include <QApplication>
#include <QMetaObject>
#include <QPlainTextEdit>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>
#include <thread>

#include "activity_log.h"
#include "test_server.h"

namespace {

veltrox::testing::TestServer* gClock = nullptr;

void AppendLogLines(benchmark::State& state) {
  for (auto _ : state) veltrox::AppendLog("[bench] a line of about the usual length http://127.0.0.1/x 处理成功!");
  state.counters["lines/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(AppendLogLines)->Threads(1)->Threads(8)->UseRealTime();

// The clock request alone, without the GUI thread: what a line costs before it is appended.
void ClockOnly(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(veltrox::BuildLogLine("m"));
  state.counters["lines/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(ClockOnly)->Threads(1)->Threads(8)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);

  veltrox::testing::Reply reply;
  reply.headers = {{"Date", "Wed, 27 May 2020 01:02:03 GMT"}};
  veltrox::testing::TestServer clock;
  clock.SetReply(reply);
  gClock = &clock;
  veltrox::SetNetworkClockAddress(clock.Url());

  QPlainTextEdit box;
  box.setReadOnly(true);
  // Keeps the document from growing without end over millions of lines.
  box.setMaximumBlockCount(10000);
  veltrox::AttachLogBox(&box);

  int status = 0;
  std::thread runner([&] {
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    QMetaObject::invokeMethod(&app, [] { QCoreApplication::quit(); }, Qt::QueuedConnection);
  });
  status = app.exec();
  runner.join();
  veltrox::DetachLogBox();
  return status;
}
