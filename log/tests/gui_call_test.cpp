#include "gui_call.h"

#include <QCoreApplication>
#include <QObject>
#include <QThread>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

namespace veltrox {
namespace {

// Serves the GUI thread's queue until `done` holds. The bound only stops a
// broken build from hanging the suite; it is not a speed check.
template <typename Done>
bool ServeUntil(Done done) {
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!done()) {
    if (std::chrono::steady_clock::now() > giveUp) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return true;
}

// Waits without serving the queue, so that requests pile up.
template <typename Done>
bool WaitWithoutServing(Done done) {
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!done()) {
    if (std::chrono::steady_clock::now() > giveUp) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

TEST(GuiCall, OnTheGuiThreadRunsAtOnce) {
  QObject context;
  GuiCallChannel channel(&context);
  bool ran = false;
  EXPECT_TRUE(channel.Call([&] { ran = true; }));
  EXPECT_TRUE(ran);
  // A request made from inside a request does not wait on itself.
  int depth = 0;
  EXPECT_TRUE(channel.Call([&] { channel.Call([&] { depth = 2; }); }));
  EXPECT_EQ(depth, 2);
}

TEST(GuiCall, OtherThreadsRunOnTheGuiThreadInTheirOwnOrder) {
  QObject context;
  GuiCallChannel channel(&context);
  QThread* gui = QThread::currentThread();
  std::vector<int> order;
  std::atomic<bool> allOnGui{true};
  std::atomic<bool> finished{false};
  std::thread worker([&] {
    for (int i = 0; i < 20; ++i) {
      EXPECT_TRUE(channel.Call([&, i] {
        allOnGui = allOnGui && QThread::currentThread() == gui;
        order.push_back(i);
      }));
    }
    finished = true;
  });
  ASSERT_TRUE(ServeUntil([&] { return finished.load(); }));
  worker.join();
  EXPECT_TRUE(allOnGui);
  ASSERT_EQ(order.size(), 20u);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(order[i], i);
}

// Each way a channel can go away must release a caller that is waiting.
TEST(GuiCall, WaitingCallersAreReleasedWhenTheChannelGoes) {
  enum class How { Close, DestroyContext };
  for (How how : {How::Close, How::DestroyContext}) {
    SCOPED_TRACE(static_cast<int>(how));
    auto context = std::make_unique<QObject>();
    GuiCallChannel channel(context.get());
    std::atomic<bool> ran{false};
    std::atomic<int> result{-1};
    std::thread worker([&] { result = channel.Call([&] { ran = true; }) ? 1 : 0; });
    ASSERT_TRUE(WaitWithoutServing([&] { return channel.Waiting() == 1; }));
    switch (how) {
      case How::Close:
        channel.Close();
        break;
      case How::DestroyContext:
        context.reset();
        break;
    }
    worker.join();
    EXPECT_EQ(result, 0);
    EXPECT_FALSE(ran);
    EXPECT_FALSE(channel.IsOpen());
    // Later requests, on any thread, are refused at once.
    EXPECT_FALSE(channel.Call([&] { ran = true; }));
    std::thread late([&] { EXPECT_FALSE(channel.Call([&] { ran = true; })); });
    late.join();
    // A queued event left behind must not run anything either.
    QCoreApplication::processEvents();
    EXPECT_FALSE(ran);
  }
}

// Once the application's loop has ended nobody will serve a request again, so
// the channel closes with it and callers on other threads do not wait.
TEST(GuiCall, EndOfTheEventLoopClosesTheChannel) {
  QObject context;
  GuiCallChannel channel(&context);
  QTimer::singleShot(0, [] { QCoreApplication::quit(); });
  QCoreApplication::exec();
  EXPECT_FALSE(channel.IsOpen());
  std::atomic<bool> ran{false};
  std::thread late([&] { EXPECT_FALSE(channel.Call([&] { ran = true; })); });
  late.join();
  QCoreApplication::processEvents();
  EXPECT_FALSE(ran);
}

TEST(GuiCall, ManyThreadsAtOnceAllGetServed) {
  QObject context;
  GuiCallChannel channel(&context);
  constexpr int kThreads = 8;
  constexpr int kCalls = 50;
  int total = 0;  // only touched on the GUI thread
  std::atomic<int> finished{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < kThreads; ++t) {
    workers.emplace_back([&] {
      for (int i = 0; i < kCalls; ++i) EXPECT_TRUE(channel.Call([&] { ++total; }));
      ++finished;
    });
  }
  ASSERT_TRUE(ServeUntil([&] { return finished.load() == kThreads; }));
  for (auto& w : workers) w.join();
  EXPECT_EQ(total, kThreads * kCalls);
}

TEST(GuiCall, AnExceptionEndsOnlyItsOwnRequest) {
  QObject context;
  GuiCallChannel channel(&context);
  EXPECT_TRUE(channel.Call([] { throw 1; }));
  EXPECT_TRUE(channel.IsOpen());
  GuiCallChannel orphan(nullptr);
  EXPECT_FALSE(orphan.Call([] {}));
}

}  // namespace
}  // namespace veltrox
