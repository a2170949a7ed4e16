// Clients that no browser would be: request heads that parsers could read in
// two ways, heads that arrive a byte at a time, connections left idle. Each
// gets the proxy's own answer or is cut, nothing reaches the server, and the
// proxy goes on serving.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "preferences.h"
#include "proxy.h"
#include "raw_client.h"
#include "request_head.h"
#include "test_server.h"

namespace veltrox::proxy {
namespace {

using ::testing::EndsWith;
using ::testing::StartsWith;
using veltrox::engine::testing::RawClient;
using veltrox::testing::TestServer;
using Clock = std::chrono::steady_clock;

TEST(RequestHeadTest, ScanFindsTheFirstFault) {
  struct Case {
    const char* name;
    std::string head;
    HeadFault want;
  } cases[] = {
      {"plain head", "GET / HTTP/1.1\r\nHost: a\r\nX: b c\r\n\r\n", HeadFault::None},
      {"request line only", "GET / HTTP/1.1\r\n\r\n", HeadFault::None},
      {"tab and space inside a value", "GET / HTTP/1.1\r\nX: a\tb  c\r\n\r\n", HeadFault::None},
      {"eight-bit bytes", "GET /\xe4\xb8\xad HTTP/1.1\r\nX: \xe4\xb8\xad\r\n\r\n", HeadFault::None},
      {"fold with a space", "GET / HTTP/1.1\r\nX: a\r\n b\r\n\r\n", HeadFault::ObsoleteFold},
      {"fold with a tab", "GET / HTTP/1.1\r\nX: a\r\n\tb\r\n\r\n", HeadFault::ObsoleteFold},
      {"space before the first field", "GET / HTTP/1.1\r\n Host: a\r\n\r\n", HeadFault::ObsoleteFold},
      {"LF inside a value", "GET / HTTP/1.1\r\nX: a\nb\r\n\r\n", HeadFault::BareLf},
      {"LF line ends", "GET / HTTP/1.1\nHost: a\n\n", HeadFault::BareLf},
      {"LF before the blank line", "GET / HTTP/1.1\r\nHost: a\n\r\n", HeadFault::BareLf},
      {"LF as the blank line", "GET / HTTP/1.1\r\nHost: a\r\n\n", HeadFault::BareLf},
      {"CR inside a value", "GET / HTTP/1.1\r\nX: a\rb\r\n\r\n", HeadFault::BareCr},
      {"CR line ends", "GET / HTTP/1.1\rHost: a\r\r", HeadFault::BareCr},
      {"CR at the very end", "GET / HTTP/1.1\r\n\r", HeadFault::BareCr},
      {"NUL in a value", std::string("GET / HTTP/1.1\r\nX: a\0b\r\n\r\n", 27), HeadFault::NulByte},
      {"NUL in the target", std::string("GET /\0 HTTP/1.1\r\n\r\n", 20), HeadFault::NulByte},
      {"the first of two faults", "GET / HTTP/1.1\r\nX: a\nb\r\n c\r\n\r\n", HeadFault::BareLf},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ScanRequestHead(c.head), c.want);
  }
}

TEST(RequestHeadTest, EndIsFoundWhateverTheLineEndsAndHoweverBytesArrive) {
  struct Case {
    const char* name;
    std::string bytes;
    std::size_t want;  // npos: no end yet
  } cases[] = {
      {"CRLF CRLF, then a body", "GET / HTTP/1.1\r\nHost: a\r\n\r\nbody", 27},
      {"LF LF", "GET / HTTP/1.1\nHost: a\n\nnext", 24},
      {"LF CRLF", "GET / HTTP/1.1\r\nHost: a\n\r\n", 26},
      {"CR CR", "GET / HTTP/1.1\rHost: a\r\r", 24},
      {"the first of two heads", "GET /1 HTTP/1.1\r\n\r\nGET /2 HTTP/1.1\r\n\r\n", 19},
      {"no blank line yet", "GET / HTTP/1.1\r\nHost: a\r\n", std::string_view::npos},
      {"half a blank line", "GET / HTTP/1.1\r\nHost: a\r\n\r", std::string_view::npos},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(FindRequestHeadEnd(c.bytes), c.want);
    // Growing a byte at a time and resuming where the last call stopped.
    std::size_t found = std::string_view::npos;
    for (std::size_t size = 1; size <= c.bytes.size() && found == std::string_view::npos; ++size) {
      found = FindRequestHeadEnd(std::string_view(c.bytes).substr(0, size), size - 1);
    }
    EXPECT_EQ(found, c.want);
  }
}

Settings LoopbackSettings() {
  Settings s;
  s.allowRemoteClients = false;
  return s;
}

// Sets a preference for one test and removes it afterwards.
class PreferenceScope {
 public:
  PreferenceScope(std::string name, const std::string& value) : name_(std::move(name)) {
    Preferences::SetString(name_, value);
  }
  ~PreferenceScope() { Preferences::Remove(name_); }

 private:
  std::string name_;
};

class HostileClientTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(proxy_.Start(LoopbackSettings(), {})); }

  std::string Get(const std::string& path, const char* connection) const {
    return "GET " + origin_.Url(path) + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(origin_.Port()) +
           "\r\nConnection: " + connection + "\r\n\r\n";
  }

  // A new client is served as if nothing had happened before.
  void ExpectServing() {
    const std::size_t before = origin_.RequestCount();
    RawClient client(proxy_.Port());
    ASSERT_TRUE(client.Connected());
    client.Send(Get("/after", "close"));
    std::string answer = client.ReadAll();
    EXPECT_THAT(answer, StartsWith("HTTP/1.1 200 "));
    EXPECT_THAT(answer, EndsWith("\r\n\r\nok"));
    EXPECT_EQ(origin_.RequestCount(), before + 1);
  }

  TestServer origin_;
  Proxy proxy_;
};

TEST_F(HostileClientTest, HeadsThatParsersReadDifferentlyGet400AndGoNowhere) {
  const std::string target = "GET " + origin_.Url("/x") + " HTTP/1.1\r\n";
  const std::string host = "Host: 127.0.0.1:" + std::to_string(origin_.Port()) + "\r\n";
  struct Case {
    const char* name;
    std::string request;
  } cases[] = {
      {"folded line, space", target + host + "X-A: one\r\n two\r\n\r\n"},
      {"folded line, tab", target + host + "X-A: one\r\n\ttwo\r\n\r\n"},
      {"folded first field", target + " " + host + "\r\n"},
      {"LF inside a value", target + host + "X-A: one\nX-B: two\r\n\r\n"},
      {"LF line ends throughout", "GET " + origin_.Url("/x") + " HTTP/1.1\n" + "Host: 127.0.0.1\n\n"},
      {"LF as the blank line", target + host + "\n"},
      {"LF before the blank line", target + "Host: 127.0.0.1\n\r\n"},
      {"CR inside a value", target + host + "X-A: one\rtwo\r\n\r\n"},
      {"CR line ends throughout", "GET " + origin_.Url("/x") + " HTTP/1.1\rHost: 127.0.0.1\r\r"},
      {"NUL inside a value", target + host + std::string("X-A: one\0two\r\n\r\n", 16)},
      {"NUL in the target", "GET " + origin_.Url("/x") + std::string("\0 HTTP/1.1\r\n", 12) + host + "\r\n"},
      {"two Host fields", "GET /x HTTP/1.1\r\n" + host + "Host: example.invalid\r\n\r\n"},
      {"chunked HTTP/1.0 request", "POST " + origin_.Url("/x") + " HTTP/1.0\r\n" + host +
                                       "Transfer-Encoding: chunked\r\n\r\n1\r\nx\r\n0\r\n\r\n"},
      {"chunked twice in one field", "POST " + origin_.Url("/x") + " HTTP/1.1\r\n" + host +
                                         "Transfer-Encoding: chunked, chunked\r\n\r\n1\r\nx\r\n0\r\n\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RawClient client(proxy_.Port());
    ASSERT_TRUE(client.Connected());
    client.Send(c.request);
    EXPECT_THAT(client.ReadAll(), StartsWith("HTTP/1.1 400 "));
  }
  EXPECT_EQ(origin_.RequestCount(), 0u);
  ExpectServing();
}

TEST_F(HostileClientTest, OversizedHeadStillGets431) {
  RawClient client(proxy_.Port());
  client.Send("GET " + origin_.Url("/") + " HTTP/1.1\r\nX: " + std::string(70000, 'a') + "\r\n\r\n");
  EXPECT_THAT(client.ReadAll(), StartsWith("HTTP/1.1 431 "));
  // A head that never ends is cut at the same size.
  RawClient endless(proxy_.Port());
  endless.Send("GET " + origin_.Url("/") + " HTTP/1.1\r\nX: " + std::string(70000, 'a'));
  EXPECT_THAT(endless.ReadAll(), StartsWith("HTTP/1.1 431 "));
  EXPECT_EQ(origin_.RequestCount(), 0u);
  ExpectServing();
}

TEST_F(HostileClientTest, PipelinedRequestsAndBodiesKeepTheirBytes) {
  RawClient client(proxy_.Port());
  // A body in the same packet as its head, an empty line some clients send
  // after a body, and a second request behind it.
  const std::string post = "POST " + origin_.Url("/post") + " HTTP/1.1\r\nHost: 127.0.0.1:" +
                           std::to_string(origin_.Port()) + "\r\nContent-Length: 5\r\n\r\nhello\r\n";
  client.Send(post + Get("/second", "close"));
  std::string answers = client.ReadAll();
  EXPECT_THAT(answers, StartsWith("HTTP/1.1 200 "));
  EXPECT_THAT(answers, EndsWith("\r\n\r\nok"));
  auto requests = origin_.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].body, "hello");
  EXPECT_EQ(requests[1].target, "/second");
}

// Sends `bytes` one at a time, `gap` apart, until all are sent, the peer
// closes or `stop` is set.
std::thread Dribble(RawClient& client, std::string bytes, std::chrono::milliseconds gap, std::atomic<bool>& stop) {
  return std::thread([&client, bytes = std::move(bytes), gap, &stop] {
    for (char c : bytes) {
      if (stop || !client.Send(std::string_view(&c, 1))) return;
      std::this_thread::sleep_for(gap);
    }
  });
}

constexpr auto kIdle = std::chrono::milliseconds(400);
// Far beyond the time-out, and far short of how long the dribble below takes.
constexpr auto kCutWithin = std::chrono::seconds(10);

TEST_F(HostileClientTest, HeadDribbledByteByByteIsCutWhenTheTimeOutPasses) {
  PreferenceScope idle("veltrox.network.timeout.idle.ms", std::to_string(kIdle.count()));
  // 600 bytes 50 ms apart: 30 s for the whole head, each byte well within the time-out.
  std::string head = Get("/slow", "close");
  head.insert(head.size() - 2, "X-Pad: " + std::string(600 - head.size() - 9, 'p') + "\r\n");
  ASSERT_EQ(head.size(), 600u);

  const auto start = Clock::now();
  RawClient client(proxy_.Port());
  ASSERT_TRUE(client.Connected());
  std::atomic<bool> stop{false};
  std::thread sender = Dribble(client, head, std::chrono::milliseconds(50), stop);
  std::string answer = client.ReadAll();  // returns when the proxy closes
  const auto elapsed = Clock::now() - start;
  stop = true;
  sender.join();

  EXPECT_EQ(answer, "");
  EXPECT_GE(elapsed, kIdle);
  EXPECT_LT(elapsed, kCutWithin);
  EXPECT_EQ(origin_.RequestCount(), 0u);
  ExpectServing();
}

TEST_F(HostileClientTest, IdleKeepAliveConnectionIsClosedWhenTheTimeOutPasses) {
  PreferenceScope idle("veltrox.network.timeout.idle.ms", std::to_string(kIdle.count()));
  RawClient client(proxy_.Port());
  ASSERT_TRUE(client.Connected());
  auto exchange = [&](const std::string& path) {
    client.Send(Get(path, "keep-alive"));
    EXPECT_THAT(client.ReadHeader(), StartsWith("HTTP/1.1 200 "));
    EXPECT_EQ(client.ReadAtLeast(2), "ok");
  };
  exchange("/first");
  // The connection stays for a second request; the wait for a third begins
  // after its answer, so no less than the time-out passes from here.
  const auto start = Clock::now();
  exchange("/second");
  std::string more = client.ReadAll();  // returns when the proxy closes
  const auto elapsed = Clock::now() - start;
  EXPECT_EQ(more, "");
  EXPECT_GE(elapsed, kIdle);
  EXPECT_LT(elapsed, kCutWithin);
  EXPECT_EQ(origin_.RequestCount(), 2u);
  ExpectServing();
}

}  // namespace
}  // namespace veltrox::proxy
