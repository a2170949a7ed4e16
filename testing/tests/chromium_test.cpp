#include "chromium.h"

#include <gtest/gtest.h>

#include "test_server.h"

namespace veltrox::testing {
namespace {

// The browser tests rest on this: a page's script runs and its result can be read.
TEST(Chromium, RunsThePageScriptAndPrintsTheDom) {
  ASSERT_FALSE(ChromiumPath().empty()) << "chromium is installed by scripts/setup.sh";
  TestServer server([](const RecordedRequest& request) {
    Reply reply;
    if (request.target == "/") {
      reply.headers = {{"Content-Type", "text/html"}};
      reply.body =
          "<div id=out>waiting</div><script>fetch('/data').then(r => r.text())"
          ".then(t => { document.getElementById('out').textContent = 'got:' + t; });</script>";
    } else {
      reply.body = "answer";
    }
    return reply;
  });
  const std::string dom = ChromiumDumpDom({.url = server.Url("/")});
  EXPECT_NE(dom.find("got:answer"), std::string::npos) << dom;
}

}  // namespace
}  // namespace veltrox::testing
