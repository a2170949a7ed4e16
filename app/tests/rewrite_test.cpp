// The rewriting hook through the real engine, with the real rule table and the
// real log box: what a user's browser request meets.
#include <QApplication>
#include <QPlainTextEdit>
#include <QTest>

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <future>
#include <thread>

#include "activity_log.h"
#include "engine_bridge.h"
#include "files.h"
#include "library_loading.h"
#include "main_window.h"
#include "rewrite_hook.h"
#include "rule_table.h"
#include "test_server.h"
#include "x_display.h"

namespace veltrox {
namespace {

namespace fs = std::filesystem;
using testing::RecordedRequest;
using testing::Reply;
using testing::TestServer;

Reply Answer(std::string body) {
  Reply reply;
  reply.headers = {{"Content-Type", "text/plain"}};
  reply.body = std::move(body);
  return reply;
}

class RewriteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("veltrox-rewrite-" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    clock_.SetReply([] {
      Reply reply;
      reply.headers = {{"Date", "Wed, 27 May 2020 01:02:03 GMT"}};
      return reply;
    }());
    SetNetworkClockAddress(clock_.Url("/"));
    AttachLogBox(&logBox_);
    rules_ = std::make_unique<RuleTable>((dir_ / "p.ini").string());
    InstallRewriteDependencies(
        [this](std::string_view url) -> std::optional<std::pair<std::string, std::string>> {
          if (auto rule = rules_->LookUp(url)) return std::pair{rule->specifiedAddress, rule->targetAddress};
          return std::nullopt;
        },
        [](std::string_view message) { AppendLog(message); });
    library_ = LoadLibraryFile(VELTROX_ENGINE_LIBRARY);
    ASSERT_NE(library_.handle, nullptr) << library_.errorCode;
    engine_ = std::make_unique<EngineBridge>(library_.handle);
    port_ = testing::FreePort();
    ASSERT_NE(engine_->InitFiddler(port_, &RewriteHook), 0);
  }

  void TearDown() override {
    if (engine_) engine_->CloseFiddler();
    InstallRewriteDependencies({}, {});
    DetachLogBox();
    fs::remove_all(dir_);
  }

  void Rules(const std::string& value) {
    ASSERT_TRUE(WriteFileAtomically((dir_ / "p.ini").string(), "[user]\r\ndata=" + value + "\r\n"));
    rules_->LoadRules();
  }

  // GETs `url` through the proxy while the GUI thread keeps serving the hook's
  // log lines; the body, or "<failed>".
  std::string Get(const std::string& url) {
    auto reply = std::async(std::launch::async, [&] {
      return testing::RunProgram({"curl", "-s", "--max-time", "20", "-x", "http://127.0.0.1:" + std::to_string(port_), url});
    });
    while (reply.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready) {
      QApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return reply.get();
  }

  QStringList LogLines() { return logBox_.toPlainText().split('\n', Qt::SkipEmptyParts); }

  TestServer clock_;
  TestServer local_{[](const RecordedRequest& r) { return Answer("local " + r.target); }};
  TestServer remote_{[](const RecordedRequest& r) { return Answer("remote " + r.target); }};
  QPlainTextEdit logBox_;
  fs::path dir_;
  std::unique_ptr<RuleTable> rules_;
  LoadedLibrary library_;
  std::unique_ptr<EngineBridge> engine_;
  std::uint16_t port_ = 0;
};

TEST_F(RewriteTest, AnExactMatchGoesToTheTargetAndIsLogged) {
  const std::string specified = local_.Url("/api/user");
  Rules(specified + "----" + remote_.Url("/v1/user") + "|");
  EXPECT_EQ(Get(specified), "remote /v1/user");
  EXPECT_EQ(local_.RequestCount(), 0u);
  ASSERT_EQ(remote_.RequestCount(), 1u);
  EXPECT_EQ(remote_.Requests()[0].Header("Host"), "127.0.0.1:" + std::to_string(remote_.Port()));
  ASSERT_EQ(LogLines().size(), 1) << "one line for the request, none for its response";
  EXPECT_EQ(LogLines()[0], QString::fromStdString("2020/5/27 09:02:03 >> " + specified + " 处理成功!"));
}

TEST_F(RewriteTest, OnlyTheWholeUrlMatches) {
  Rules(local_.Url("/api/user") + "----" + remote_.Url("/v1/user") + "|");
  const std::string others[] = {local_.Url("/API/user"), local_.Url("/api/user/1"), local_.Url("/api/user?q=1"),
                                local_.Url("/api/use")};
  for (const std::string& url : others) {
    SCOPED_TRACE(url);
    EXPECT_EQ(Get(url).rfind("local ", 0), 0u);
  }
  EXPECT_EQ(remote_.RequestCount(), 0u);
  EXPECT_TRUE(LogLines().isEmpty());
}

TEST_F(RewriteTest, TheUpperOfTwoEqualRulesWins) {
  TestServer other([](const RecordedRequest& r) { return Answer("other " + r.target); });
  const std::string specified = local_.Url("/x");
  Rules(specified + "----" + remote_.Url("/first") + "|" + specified + "----" + other.Url("/second") + "|");
  EXPECT_EQ(Get(specified), "remote /first");
  EXPECT_EQ(other.RequestCount(), 0u);
}

TEST_F(RewriteTest, ARuleOntoItselfStillWritesTheEditAndTheLine) {
  const std::string specified = local_.Url("/same");
  Rules(specified + "----" + specified + "|");
  EXPECT_EQ(Get(specified), "local /same");
  ASSERT_EQ(LogLines().size(), 1);
  EXPECT_TRUE(LogLines()[0].endsWith(QString::fromStdString(specified + " 处理成功!")));
}

TEST_F(RewriteTest, RuleChangesApplyToTheNextRequest) {
  const std::string specified = local_.Url("/live");
  Rules("");
  EXPECT_EQ(Get(specified), "local /live") << "an empty table changes nothing";
  rules_->AppendRow("1", specified, remote_.Url("/added"));
  EXPECT_EQ(Get(specified), "remote /added");
  rules_->DeleteRow(0);
  EXPECT_EQ(Get(specified), "local /live");
  EXPECT_EQ(LogLines().size(), 1);
}

TEST_F(RewriteTest, ARequestThatMatchesNoRuleNeverWaitsForTheWindow) {
  std::string value;
  for (int i = 0; i < 1000; ++i) value += local_.Url("/rule/" + std::to_string(i)) + "----" + remote_.Url("/r") + "|";
  Rules(value);
  // The GUI thread is held in this call: a lookup that needed it would hang.
  const std::string body = testing::RunProgram(
      {"curl", "-s", "--max-time", "20", "-x", "http://127.0.0.1:" + std::to_string(port_), local_.Url("/none")});
  EXPECT_EQ(body, "local /none");
}

// Closing the window while hook calls wait to log: the engine stops, the
// waiting lines are dropped, and every request ends; nothing hangs or crashes.
TEST_F(RewriteTest, ClosingTheWindowWhileHooksLogNeitherHangsNorCrashes) {
  DetachLogBox();  // the window brings its own log box
  const std::string specified = local_.Url("/busy");
  Rules(specified + "----" + remote_.Url("/busy") + "|");
  MainWindow window(*rules_, *engine_);
  window.show();
  std::vector<std::future<std::string>> requests;
  for (int i = 0; i < 6; ++i) {
    requests.push_back(std::async(std::launch::async, [&] {
      return testing::RunProgram(
          {"curl", "-s", "--max-time", "20", "-x", "http://127.0.0.1:" + std::to_string(port_), specified});
    }));
  }
  // The GUI thread serves nothing meanwhile, so the hooks' lines wait for it.
  while (WaitingLogLines() < 1) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  window.close();
  for (auto& request : requests) {
    ASSERT_EQ(request.wait_for(std::chrono::seconds(60)), std::future_status::ready) << "a request hung";
    request.get();
  }
  EXPECT_EQ(WaitingLogLines(), 0u);
}

// A listening socket inherited by a program the tool starts (certutil, say)
// would go on taking connections after the engine has stopped.
TEST_F(RewriteTest, TheEnginesListeningSocketsStayOutOfChildProcesses) {
  int listening = 0;
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    const int fd = std::atoi(entry.path().filename().c_str());
    int accepting = 0;
    socklen_t size = sizeof accepting;
    if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &accepting, &size) != 0 || !accepting) continue;
    ++listening;
    EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC) << "listening socket " << fd;
  }
  EXPECT_GE(listening, 1);
}

}  // namespace
}  // namespace veltrox
