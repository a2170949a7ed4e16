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
#include "tool_run.h"
#include "x_display.h"

namespace veltrox {
namespace {

namespace fs = std::filesystem;
using testing::RecordedRequest;
using testing::Reply;
using testing::TestServer;
using testing::ToolWindow;

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
  }

  testing::XDisplay display_;
  testing::ToolFolder tool_{VELTROX_PROGRAM, "browser"};
};

// One run of the whole story: the rule added and the service started through
// the window, the page loaded in Chromium through the proxy, the remote's
// answer read from the page and the rewrite read from the log.
void RunStory(const testing::XDisplay& display, testing::ToolFolder& tool, bool httpsPage) {
  TestServer remote(
      [](const RecordedRequest& request) {
        Reply reply;
        reply.headers = {{"Content-Type", "text/plain"}};
        reply.body = "remote-answer for " + request.target;
        return reply;
      },
      testing::ServerOptions{.tls = true});
  TestServer dev(
      [](const RecordedRequest& request) {
        Reply reply;
        reply.headers = {{"Content-Type", request.target == "/" ? "text/html" : "text/plain"}};
        reply.body = request.target == "/" ? kPage : "dev-answer";
        return reply;
      },
      testing::ServerOptions{.tls = httpsPage});
  const std::string api = dev.Url("/api/data");
  const std::string port = std::to_string(testing::FreePort());

  tool.Start(display);
  const ToolWindow window(display, display.WaitForWindow("Veltrox工具"));
  ASSERT_TRUE(window.Ok());
  window.Fill(testing::kSpecifiedBox, api);
  window.Fill(testing::kTargetBox, remote.Url("/v1/data"));
  window.Click(testing::kAddButton);
  ASSERT_NE(window.LogWith("添加成功!").find("添加成功!"), std::string::npos);
  window.Fill(testing::kPortBox, port);
  window.Click(testing::kStartButton);
  ASSERT_NE(window.LogWith("启动成功!").find("端口：" + port + "启动成功!"), std::string::npos);

  // The browser shares the tool's HOME, so it reads the NSS database in which
  // the tool has just trusted its root.
  const std::string dom = testing::ChromiumDumpDom(
      {.url = dev.Url("/"), .proxyServer = "127.0.0.1:" + port, .home = tool.Home().string()});
  EXPECT_NE(dom.find("answer:remote-answer for /v1/data"), std::string::npos) << dom;
  for (const auto& request : dev.Requests()) EXPECT_NE(request.target, "/api/data") << "reached the local server";
  EXPECT_NE(window.LogWith("处理成功!").find(api + " 处理成功!"), std::string::npos);

  window.Click(testing::kStopButton);
  EXPECT_NE(window.LogWith("结束成功!").find("结束成功!"), std::string::npos);
}

TEST_F(BrowserTest, AnHttpPageGetsTheRemoteAnswerSameOrigin) { RunStory(display_, tool_, false); }

TEST_F(BrowserTest, AnHttpsPageIsReadThroughTheTrustedRootAndRewritten) {
  RunStory(display_, tool_, true);
  EXPECT_TRUE(std::filesystem::exists(tool_.DataFolder() / "kv" / "ssl.key")) << "the root was saved";
}

TEST_F(BrowserTest, APortBeyond16BitsListensOnItsLow16Bits) {
  TestServer origin;
  tool_.Start(display_);
  const ToolWindow window(display_, display_.WaitForWindow("Veltrox工具"));
  ASSERT_TRUE(window.Ok());
  window.Fill(testing::kPortBox, std::to_string(65536 + 7788));
  window.Click(testing::kStartButton);
  ASSERT_NE(window.LogWith("启动成功!").find("端口：73324启动成功!"), std::string::npos);
  EXPECT_EQ(testing::RunProgram({"curl", "-s", "--max-time", "20", "-x", "http://127.0.0.1:7788", origin.Url("/")}),
            "ok");
}

}  // namespace
}  // namespace veltrox
