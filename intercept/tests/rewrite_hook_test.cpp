#include "rewrite_hook.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "test_support.h"
#include "text_encoding.h"

namespace veltrox {
namespace {

using testing::FakeBlock;
using testing::FakeSlots;

struct Rule {
  std::string specifiedAddress;
  std::string targetAddress;
};

// Stands in for the rule table's snapshot and the activity log.
class RewriteHookTest : public ::testing::Test {
 protected:
  void SetUp() override { Install(); }
  void TearDown() override { InstallRewriteDependencies(nullptr, nullptr); }

  void Install() {
    InstallRewriteDependencies(
        [this](std::string_view url) -> std::optional<std::pair<std::string, std::string>> {
          lookedUp_.emplace_back(url);
          for (const Rule& rule : rules_) {  // upper row first, whole URL, byte for byte
            if (rule.specifiedAddress == url) return std::pair(rule.specifiedAddress, rule.targetAddress);
          }
          return std::nullopt;
        },
        [this](std::string_view message) {
          logged_.emplace_back(message);
          // The edit must already be in place when the line is written.
          editsWhenLogged_.push_back(slots_ ? slots_->Used() : 0);
        });
  }

  void Raise(std::int32_t typeCode, const std::string& url) {
    FakeBlock block(typeCode);
    block.Text(kWordUrl, url).Text(kWordBody, "{}").Text(kWordBodyLength, "2").Word(kWordSessionId, 5);
    slots_ = std::make_unique<FakeSlots>();
    RewriteHook(block.Address(), slots_->Address());
  }

  std::vector<Rule> rules_;
  std::vector<std::string> lookedUp_;
  std::vector<std::string> logged_;
  std::vector<std::size_t> editsWhenLogged_;
  std::unique_ptr<FakeSlots> slots_;
};

const std::string kLocal = "http://127.0.0.1:3000/api/list?page=1";
const std::string kRemote = "https://api.example.com/v2/list?page=1";

TEST_F(RewriteHookTest, ExactRequestIsRewrittenThenLogged) {
  rules_ = {{"http://127.0.0.1:3000/other", "http://x/"}, {kLocal, kRemote}};
  Raise(kTypeSend, kLocal);
  ASSERT_EQ(slots_->Used(), 1u);
  EXPECT_EQ(slots_->At(0).code, RecordWord{10});
  EXPECT_EQ(slots_->At(0).text1, kRemote);
  EXPECT_STREQ(slots_->At(0).text2, "\x14");
  ASSERT_EQ(logged_.size(), 1u);
  EXPECT_EQ(logged_[0], kLocal + Gb(u8" 处理成功!"));
  EXPECT_EQ(Gb18030ToUtf8(logged_[0]), kLocal + " 处理成功!");
  EXPECT_EQ(editsWhenLogged_, std::vector<std::size_t>{1});
}

TEST_F(RewriteHookTest, OnlyExactRequestsAreTouched) {
  rules_ = {{kLocal, kRemote}};
  struct Case {
    const char* name;
    std::int32_t typeCode;
    std::string url;
  } cases[] = {
      {"letter case differs", kTypeSend, "http://127.0.0.1:3000/API/list?page=1"},
      {"longer path", kTypeSend, "http://127.0.0.1:3000/api/list/2?page=1"},
      {"added query", kTypeSend, kLocal + "&sort=asc"},
      {"trailing slash", kTypeSend, kLocal + "/"},
      {"only the beginning", kTypeSend, "http://127.0.0.1:3000/api/"},
      {"other scheme", kTypeSend, "https://127.0.0.1:3000/api/list?page=1"},
      {"response to the URL", kTypeRecv, kLocal},
      {"unknown event type", 9, kLocal},
  };
  for (const Case& c : cases) {
    logged_.clear();
    Raise(c.typeCode, c.url);
    EXPECT_EQ(slots_->Used(), 0u) << c.name;
    EXPECT_TRUE(logged_.empty()) << c.name;
  }
}

TEST_F(RewriteHookTest, WebSocketMessagesAreNeverLookedAt) {
  rules_ = {{kLocal, kRemote}, {"Text", kRemote}};
  FakeBlock block(kTypeWebSocket);
  block.Text(kWordUrl, "Text").Text(kWordBody, kLocal).Text(kWordContentType, "True");
  FakeSlots slots;
  RewriteHook(block.Address(), slots.Address());
  EXPECT_EQ(slots.Used(), 0u);
  EXPECT_TRUE(lookedUp_.empty());
  EXPECT_TRUE(logged_.empty());
}

TEST_F(RewriteHookTest, ResponsesAreNotLookedUp) {
  rules_ = {{kLocal, kRemote}};
  Raise(kTypeRecv, kLocal);
  EXPECT_TRUE(lookedUp_.empty());
}

TEST_F(RewriteHookTest, TargetEqualToTheAddressStillEditsAndLogs) {
  rules_ = {{kLocal, kLocal}};
  Raise(kTypeSend, kLocal);
  ASSERT_EQ(slots_->Used(), 1u);
  EXPECT_EQ(slots_->At(0).text1, kLocal);
  EXPECT_EQ(logged_.size(), 1u);
}

TEST_F(RewriteHookTest, TargetHoldingTheAddressIsNotRewrittenTwice) {
  const std::string url = "http://a/";
  rules_ = {{url, "http://a/proxy?to=http://a/"}};
  Raise(kTypeSend, url);
  ASSERT_EQ(slots_->Used(), 1u);
  EXPECT_EQ(slots_->At(0).text1, std::string("http://a/proxy?to=http://a/"));
}

TEST_F(RewriteHookTest, DoubleByteAddresses) {
  const std::string local = "http://127.0.0.1/" + Gb(u8"接口") + "?q=" + Gb(u8"中文");
  const std::string remote = "http://api.example.com/" + Gb(u8"新接口");
  rules_ = {{local, remote}};
  Raise(kTypeSend, local);
  ASSERT_EQ(slots_->Used(), 1u);
  EXPECT_EQ(slots_->At(0).text1, remote);
  EXPECT_EQ(logged_.at(0), local + Gb(u8" 处理成功!"));
}

TEST_F(RewriteHookTest, EmptyTableChangesNothing) {
  Raise(kTypeSend, kLocal);
  EXPECT_EQ(lookedUp_, std::vector<std::string>{kLocal});
  EXPECT_EQ(slots_->Used(), 0u);
  EXPECT_TRUE(logged_.empty());
}

TEST_F(RewriteHookTest, RuleChangesApplyToTheNextRequest) {
  Raise(kTypeSend, kLocal);
  EXPECT_EQ(slots_->Used(), 0u);
  rules_ = {{kLocal, kRemote}};
  Raise(kTypeSend, kLocal);
  EXPECT_EQ(slots_->Used(), 1u);
  rules_.clear();
  Raise(kTypeSend, kLocal);
  EXPECT_EQ(slots_->Used(), 0u);
}

TEST_F(RewriteHookTest, NothingInstalledOrNoBlockIsHarmless) {
  InstallRewriteDependencies(nullptr, nullptr);
  Raise(kTypeSend, kLocal);
  EXPECT_EQ(slots_->Used(), 0u);

  Install();
  rules_ = {{"", kRemote}};
  FakeSlots slots;
  RewriteHook(0, slots.Address());
  EXPECT_EQ(slots.Used(), 0u);
  EXPECT_TRUE(logged_.empty());
}

TEST_F(RewriteHookTest, FailingDependenciesNeverReachTheEngine) {
  InstallRewriteDependencies([](std::string_view) -> std::optional<std::pair<std::string, std::string>> {
    throw std::runtime_error("table gone");
  }, nullptr);
  Raise(kTypeSend, kLocal);  // must return normally
  EXPECT_EQ(slots_->Used(), 0u);

  InstallRewriteDependencies(
      [](std::string_view url) { return std::optional(std::pair(std::string(url), kRemote)); },
      [](std::string_view) { throw std::runtime_error("window gone"); });
  Raise(kTypeSend, kLocal);
  ASSERT_EQ(slots_->Used(), 1u);  // the edit stays even though the log line failed
  EXPECT_EQ(slots_->At(0).text1, kRemote);
}

TEST(RewriteHookThreads, ReinstallingWhileHooksRun) {
  // Engine threads keep calling the hook while the program swaps what it reads.
  auto lookupFor = [](std::string target) {
    return [target](std::string_view url) { return std::optional(std::pair(std::string(url), target)); };
  };
  std::atomic<int> logged{0};
  auto log = [&logged](std::string_view) { logged.fetch_add(1, std::memory_order_relaxed); };
  InstallRewriteDependencies(lookupFor("http://one/"), log);

  std::atomic<bool> stop{false};
  std::atomic<int> wrong{0};
  std::atomic<int> calls{0};
  std::vector<std::thread> engine;
  for (int t = 0; t < 4; ++t) {
    engine.emplace_back([&] {
      while (!stop.load()) {
        FakeBlock block(kTypeSend);
        block.Text(kWordUrl, kLocal);
        FakeSlots slots;
        RewriteHook(block.Address(), slots.Address());
        std::string target = slots.Used() == 1 ? slots.At(0).text1 : "";
        if (target != "http://one/" && target != "http://two/") wrong.fetch_add(1);
        calls.fetch_add(1);
      }
    });
  }
  for (int i = 0; i < 200 || calls.load() < 200; ++i) {
    InstallRewriteDependencies(lookupFor(i % 2 ? "http://one/" : "http://two/"), log);
    std::this_thread::yield();
  }
  stop = true;
  for (auto& thread : engine) thread.join();
  InstallRewriteDependencies(nullptr, nullptr);
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(logged.load(), calls.load());
}

}  // namespace
}  // namespace veltrox
