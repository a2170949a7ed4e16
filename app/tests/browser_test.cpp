// The whole tool end to end with real programs: the built veltrox on a private
// X display, driven through its window from outside; a local development
// server whose page calls its own origin; a remote HTTPS API with its own
// self-signed certificate; and Debian's Chromium, headless, through the proxy.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "chromium.h"
#include "test_server.h"
#include "x_display.h"

namespace veltrox {
namespace {

namespace fs = std::filesystem;
using testing::RecordedRequest;
using testing::Reply;
using testing::TestServer;

// Client-area positions of the controls the test uses (centre of each).
struct Spot {
  int x, y;
};
constexpr Spot kSpecifiedBox{721, 93}, kTargetBox{721, 125}, kAddButton{698, 172}, kPortBox{717, 248},
    kStartButton{696, 284}, kStopButton{696, 335}, kLogBox{300, 400};

const char* const kPage =
    "<!doctype html><html><body><div id=out>waiting</div><script>"
    "fetch('/api/data').then(r => r.text())"
    ".then(t => { document.getElementById('out').textContent = 'answer:' + t; })"
    ".catch(e => { document.getElementById('out').textContent = 'error:' + e; });"
    "</script></body></html>";

class BrowserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(display_.Ok());
    ASSERT_FALSE(testing::ChromiumPath().empty());
    dir_ = fs::temp_directory_path() / ("veltrox-browser-" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "home");
    fs::copy_file(VELTROX_PROGRAM, dir_ / "veltrox");
  }
  void TearDown() override {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    fs::remove_all(dir_);
  }

  void StartTool() {
    pid_ = fork();
    if (pid_ == 0) {
      setenv("DISPLAY", display_.Name().c_str(), 1);
      setenv("HOME", (dir_ / "home").c_str(), 1);
      setenv("XDG_DATA_HOME", (dir_ / "home" / "data").c_str(), 1);
      setenv("XDG_CONFIG_HOME", (dir_ / "home" / "config").c_str(), 1);
      setenv("GSETTINGS_BACKEND", "keyfile", 1);
      unsetenv("QT_QPA_PLATFORM");
      const std::string program = (dir_ / "veltrox").string();
      execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    window_ = display_.WaitForWindow("Veltrox工具");
    ASSERT_FALSE(window_.empty());
    ASSERT_TRUE(display_.WindowOrigin(window_, x_, y_));
  }

  void Click(Spot spot) { display_.Click(x_ + spot.x, y_ + spot.y); }
  void Fill(Spot box, const std::string& text) {
    Click(box);
    display_.Key("ctrl+a");
    display_.Type(text);
  }
  std::string Log() {
    Click(kLogBox);
    display_.Key("ctrl+a");
    display_.Key("ctrl+c");
    return display_.Clipboard();
  }
  // The log, once it holds `text` (or after ten seconds).
  std::string LogWith(const std::string& text) {
    std::string log;
    for (int i = 0; i < 50; ++i) {
      log = Log();
      if (log.find(text) != std::string::npos) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return log;
  }

  testing::XDisplay display_;
  fs::path dir_;
  pid_t pid_ = -1;
  std::string window_;
  int x_ = 0, y_ = 0;
};

TEST_F(BrowserTest, AnHttpPageGetsTheRemoteAnswerSameOrigin) {
  TestServer remote(
      [](const RecordedRequest& request) {
        Reply reply;
        reply.headers = {{"Content-Type", "text/plain"}};
        reply.body = "remote-answer for " + request.target;
        return reply;
      },
      testing::ServerOptions{.tls = true});
  TestServer dev([](const RecordedRequest& request) {
    Reply reply;
    reply.headers = {{"Content-Type", request.target == "/" ? "text/html" : "text/plain"}};
    reply.body = request.target == "/" ? kPage : "dev-answer";
    return reply;
  });
  const std::string api = dev.Url("/api/data");
  const std::string port = std::to_string(testing::FreePort());

  StartTool();
  Fill(kSpecifiedBox, api);
  Fill(kTargetBox, remote.Url("/v1/data"));
  Click(kAddButton);
  ASSERT_NE(LogWith("添加成功!").find("添加成功!"), std::string::npos);
  Fill(kPortBox, port);
  Click(kStartButton);
  ASSERT_NE(LogWith("启动成功!").find("端口：" + port + "启动成功!"), std::string::npos);

  const std::string dom = testing::ChromiumDumpDom(
      {.url = dev.Url("/"), .proxyServer = "127.0.0.1:" + port, .home = (dir_ / "home").string()});
  EXPECT_NE(dom.find("answer:remote-answer for /v1/data"), std::string::npos) << dom;
  for (const auto& request : dev.Requests()) EXPECT_NE(request.target, "/api/data") << "reached the local server";
  EXPECT_NE(LogWith("处理成功!").find(api + " 处理成功!"), std::string::npos);

  Click(kStopButton);
  EXPECT_NE(LogWith("结束成功!").find("结束成功!"), std::string::npos);
}

}  // namespace
}  // namespace veltrox
