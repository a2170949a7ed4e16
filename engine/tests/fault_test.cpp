// Bad input and failing servers get clear answers, and the engine keeps serving.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "engine_harness.h"
#include "preferences.h"
#include "raw_client.h"
#include "test_server.h"

namespace veltrox::engine::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;
using veltrox::testing::RecordedRequest;
using veltrox::testing::Reply;
using veltrox::testing::TestServer;


const std::uintptr_t kHook = reinterpret_cast<std::uintptr_t>(&HookRecorder::Hook);

class FaultTest : public RunningEngineTest {
 protected:
  // The proxy still answers a plain request after whatever came before.
  void ExpectServing() {
    CurlResult r = Curl(port_, {healthy_.Url("/after")});
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "ok");
  }

  OriginServer healthy_;
};

TEST_F(FaultTest, RefusingServerGets502WithTheCause) {
  std::uint16_t closed;
  {
    OriginServer gone;
    closed = gone.Port();
  }
  CurlResult r = Curl(port_, {"http://127.0.0.1:" + std::to_string(closed) + "/x"});
  EXPECT_EQ(r.status, 502);
  EXPECT_THAT(r.body, HasSubstr("cannot connect to 127.0.0.1:" + std::to_string(closed)));
  ExpectServing();
}

TEST_F(FaultTest, ServerThatStopsMidBody) {
  OriginServer origin([](const RecordedRequest&) {
    Reply r;
    r.body = std::string(100000, 'b');
    r.cut = Reply::Cut::MidBody;
    return r;
  });
  // A reported session holds the response: the client gets a clear 502.
  CurlResult held = Curl(port_, {origin.Url("/held")});
  EXPECT_EQ(held.status, 502);
  EXPECT_THAT(held.body, HasSubstr("in the middle of the response body"));
  // An unreported one streams: the client sees the cut as a short body.
  CurlResult streamed = Curl(port_, {origin.Url("/4431/streamed")});
  EXPECT_EQ(streamed.status, 200);
  EXPECT_EQ(streamed.exitCode, 18);  // curl: transfer closed with data outstanding
  EXPECT_LT(streamed.body.size(), 100000u);
  ExpectServing();
}

TEST_F(FaultTest, ServerThatClosesWithoutAnswer) {
  OriginServer origin([](const RecordedRequest&) {
    Reply r;
    r.cut = Reply::Cut::WithoutAnswer;
    return r;
  });
  CurlResult r = Curl(port_, {origin.Url("/x")});
  EXPECT_EQ(r.status, 502);
  ExpectServing();
}

TEST_F(FaultTest, ServerThatNeverAnswersGets504) {
  proxy::Preferences::SetString("veltrox.network.timeout.response.ms", "300");
  OriginServer origin([](const RecordedRequest&) {
    Reply r;
    r.delay = std::chrono::milliseconds(3000);
    return r;
  });
  CurlResult r = Curl(port_, {origin.Url("/slow")});
  proxy::Preferences::Remove("veltrox.network.timeout.response.ms");
  EXPECT_EQ(r.status, 504);
  EXPECT_THAT(r.body, HasSubstr("no answer from 127.0.0.1:" + std::to_string(origin.Port())));
  ExpectServing();
}

TEST_F(FaultTest, MalformedRequestsGetClearAnswers) {
  struct Case {
    const char* name;
    std::string request;
    std::string status;
  } cases[] = {
      {"garbage", "\x16\x03\x01 garbage\r\n\r\n", "HTTP/1.1 400 "},
      {"no host anywhere", "GET /x HTTP/1.1\r\n\r\n", "HTTP/1.1 400 "},
      {"oversized header", "GET http://127.0.0.1:1/ HTTP/1.1\r\nX: " + std::string(70000, 'a') + "\r\n\r\n",
       "HTTP/1.1 431 "},
      {"length and chunked", "POST " + healthy_.Url("/s") +
                                 " HTTP/1.1\r\nContent-Length: 4\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
       "HTTP/1.1 400 "},
      {"chunked and length", "POST " + healthy_.Url("/s") +
                                 " HTTP/1.1\r\nTransfer-Encoding: chunked\r\nContent-Length: 4\r\n\r\n0\r\n\r\n",
       "HTTP/1.1 400 "},
      {"another coding and length", "POST " + healthy_.Url("/s") +
                                        " HTTP/1.1\r\nTransfer-Encoding: gzip\r\nContent-Length: 4\r\n\r\nabcd",
       "HTTP/1.1 400 "},
      {"two lengths", "POST " + healthy_.Url("/s") + " HTTP/1.1\r\nContent-Length: 4\r\nContent-Length: 5\r\n\r\nabcde",
       "HTTP/1.1 400 "},
      {"a target that is this proxy", "GET http://127.0.0.1:" + std::to_string(port_) + "/ HTTP/1.1\r\n\r\n",
       "HTTP/1.1 508 "},
      {"a tunnel to this proxy", "CONNECT localhost:" + std::to_string(port_) + " HTTP/1.1\r\n\r\n",
       "HTTP/1.1 508 "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RawClient client(port_);
    ASSERT_TRUE(client.Connected());
    client.Send(c.request);
    EXPECT_THAT(client.ReadAll(), StartsWith(c.status));
  }
  EXPECT_EQ(healthy_.RequestCount(), 0u);  // nothing of it was forwarded
  ExpectServing();
}

TEST_F(FaultTest, ClientThatAbortsMidUpload) {
  OriginServer origin;
  {
    RawClient client(port_);
    client.Send("POST " + origin.Url("/upload") + " HTTP/1.1\r\nContent-Length: 100000\r\n\r\n" +
                std::string(1000, 'u'));
  }
  {
    // Past the memory cap, so the body was already streaming to the server.
    RawClient client(port_);
    client.Send("POST " + origin.Url("/upload") + " HTTP/1.1\r\nContent-Length: 40000000\r\n\r\n" +
                std::string(17 << 20, 'u'));
  }
  ExpectServing();
}

TEST_F(FaultTest, BlockedHookDelaysNoOtherSession) {
  OriginServer origin;
  Gate release;
  std::atomic<bool> slowSeen{false};
  Recorder().Reset([&](const Event& e, Word) {
    if (e.Url().find("/slow") != std::string::npos && e.type == 1) {
      slowSeen = true;
      release.Wait();
    }
  });
  auto slow = std::async(std::launch::async, [&] { return Curl(port_, {origin.Url("/slow")}); });
  while (!slowSeen) std::this_thread::sleep_for(std::chrono::milliseconds(5));

  // Fifty requests on their own connections complete while that hook still waits.
  std::vector<std::future<CurlResult>> others;
  for (int i = 0; i < 50; ++i) {
    others.push_back(std::async(std::launch::async, [&, i] {
      return Curl(port_, {origin.Url("/fast/" + std::to_string(i))});
    }));
  }
  for (auto& other : others) EXPECT_EQ(other.get().body, "ok");
  EXPECT_EQ(slow.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
  release.Open();
  EXPECT_EQ(slow.get().body, "ok");
}

TEST_F(FaultTest, CloseWhileAHookIsBlocked) {
  OriginServer origin;
  Gate release;
  Gate entered;
  Recorder().Reset([&](const Event& e, Word slots) {
    if (e.Url().find("/stuck") == std::string::npos || e.type != 1) return;
    entered.Open();
    release.Wait();
    PutEdit(slots, 0, 10, origin.Url("/late"));  // a late edit must do no harm
  });
  auto stuck = std::async(std::launch::async, [&] { return Curl(port_, {origin.Url("/stuck")}); });
  ASSERT_TRUE(entered.Wait());
  auto closing = std::async(std::launch::async, [] { Efd().CloseFiddler(); });
  ASSERT_EQ(closing.wait_for(std::chrono::seconds(30)), std::future_status::ready)
      << "CloseFiddler waited for the hook";
  // The client's connection is closed, not left hanging on the hook.
  CurlResult r = stuck.get();
  EXPECT_NE(r.exitCode, 0);
  release.Open();

  Recorder().Reset();
  std::uint16_t port = FreePort();
  ASSERT_EQ(Efd().InitFiddler(port, kHook), 1);
  EXPECT_EQ(Curl(port, {origin.Url("/again")}).body, "ok");
  EXPECT_EQ(Recorder().EventsOfType(1).size(), 1u);
  EXPECT_EQ(origin.RequestCount(), 1u);
}

// A raw TCP echo, for tunnels.
class EchoServer {
 public:
  EchoServer() {
    do {
      if (listen_ >= 0) close(listen_);
      listen_ = socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in addr{};
      addr.sin_family = AF_INET;
      addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      socklen_t len = sizeof addr;
      bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
      listen(listen_, 8);
      getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &len);
      port_ = ntohs(addr.sin_port);
    } while (!ReportablePort(port_));
    thread_ = std::thread([this] {
      int fd = accept(listen_, nullptr, nullptr);
      if (fd < 0) return;
      char buffer[4096];
      ssize_t n;
      while ((n = recv(fd, buffer, sizeof buffer, 0)) > 0) send(fd, buffer, static_cast<std::size_t>(n), MSG_NOSIGNAL);
      close(fd);
    });
  }
  ~EchoServer() {
    shutdown(listen_, SHUT_RDWR);
    close(listen_);
    thread_.join();
  }
  std::uint16_t Port() const { return port_; }

 private:
  int listen_ = -1;
  std::uint16_t port_ = 0;
  std::thread thread_;
};

TEST_F(FaultTest, ConnectTunnelRelaysBytesUntouched) {
  EchoServer echo;
  std::string authority = "127.0.0.1:" + std::to_string(echo.Port());
  RawClient client(port_);
  client.Send("CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n\r\n");
  EXPECT_THAT(client.ReadHeader(), StartsWith("HTTP/1.1 200 "));
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
  bytes += "GET / HTTP/1.1\r\n\r\n";  // looks like HTTP, stays bytes
  client.Send(bytes);
  EXPECT_EQ(client.ReadAtLeast(bytes.size()), bytes);
  auto sends = Recorder().EventsOfType(1);
  ASSERT_EQ(sends.size(), 1u);
  EXPECT_EQ(sends[0].Url(), authority);
  EXPECT_THAT(sends[0].words[1], StartsWith("CONNECT " + authority + " HTTP/1.1\r\n"));
  client.Close();
  ExpectServing();
}

}  // namespace
}  // namespace veltrox::engine::testing
