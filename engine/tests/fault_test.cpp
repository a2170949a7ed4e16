// Bad input and failing servers get clear answers, and the engine keeps serving.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>

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

TEST_F(FaultTest, UnresolvableHostGets502WithTheCause) {
  CurlResult r = Curl(port_, {"http://veltrox-test.invalid/x"});
  EXPECT_EQ(r.status, 502);
  EXPECT_THAT(r.body, HasSubstr("cannot resolve veltrox-test.invalid"));
  ExpectServing();
}

// The server hangs up, orderly or with a reset, at each point of its answer.
TEST_F(FaultTest, ServerThatHangsUpAtEveryPhase) {
  struct Phase {
    const char* name;
    Reply::Cut cut;
    bool headerReached;  // the client has the status line when the cut comes
  } phases[] = {
      {"before answering", Reply::Cut::WithoutAnswer, false},
      {"in the middle of the header", Reply::Cut::MidHeader, false},
      {"after the header", Reply::Cut::AfterHeaders, true},
      {"in the middle of the body", Reply::Cut::MidBody, true},
  };
  for (const Phase& phase : phases) {
    for (bool reset : {false, true}) {
      SCOPED_TRACE(std::string(phase.name) + (reset ? ", reset" : ", closed"));
      OriginServer origin([&](const RecordedRequest&) {
        Reply r;
        r.body = std::string(100000, 'b');
        r.cut = phase.cut;
        r.reset = reset;
        return r;
      });
      // A reported session holds the response, so every cut is a clear 502.
      CurlResult held = Curl(port_, {origin.Url("/held")});
      EXPECT_EQ(held.status, 502);
      // An unreported one streams: once the header has gone to the client,
      // the client sees the cut as a short body.
      CurlResult streamed = Curl(port_, {origin.Url("/4431/streamed")});
      if (phase.headerReached) {
        EXPECT_EQ(streamed.status, 200);
        EXPECT_NE(streamed.exitCode, 0);
        EXPECT_LT(streamed.body.size(), 100000u);
      } else {
        EXPECT_EQ(streamed.status, 502);
      }
      ExpectServing();
    }
  }
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
  {
    // Under the memory cap the body is held until it is whole: nothing goes on.
    OriginServer origin;
    {
      RawClient client(port_);
      client.Send("POST " + origin.Url("/upload") + " HTTP/1.1\r\nContent-Length: 100000\r\n\r\n" +
                  std::string(1000, 'u'));
    }
    ExpectServing();
    EXPECT_EQ(origin.RequestCount(), 0u);
  }
  // Past the memory cap the body is already streaming to the server; the
  // client's abort cuts the server's connection too.
  RawListener server;
  const std::string authority = "127.0.0.1:" + std::to_string(server.Port());
  constexpr std::size_t kDeclared = 40000000;
  auto upload = std::async(std::launch::async, [&] {
    RawClient client(port_);
    client.Send("POST http://" + authority + "/upload HTTP/1.1\r\nHost: " + authority +
                "\r\nContent-Length: " + std::to_string(kDeclared) + "\r\n\r\n" + std::string(17 << 20, 'u'));
  });
  RawClient upstream = server.Accept();
  ASSERT_TRUE(upstream.Connected());
  upload.get();
  std::string received = upstream.ReadAll();  // until the proxy hangs up
  EXPECT_THAT(received, StartsWith("POST /upload HTTP/1.1\r\n"));
  EXPECT_LT(received.size(), kDeclared) << "the server connection outlived the client";
  EXPECT_FALSE(upstream.TimedOut()) << "the proxy kept the server connection open";
  ExpectServing();
}

// The highest descriptor number this process has open.
int HighestOpenDescriptor() {
  int highest = 0;
  DIR* dir = opendir("/proc/self/fd");
  while (dirent* entry = readdir(dir)) highest = std::max(highest, std::atoi(entry->d_name));
  closedir(dir);
  return highest;
}

TEST_F(FaultTest, OutOfDescriptorsTurnsClientsAwayAndRecovers) {
#ifdef __SANITIZE_ADDRESS__
  // The sanitizers' runtime needs descriptors of its own (UndefinedBehaviorSanitizer
  // probes memory through a pipe before it trusts a vtable) and reports false
  // faults while the process has none; the normal build runs this test.
  GTEST_SKIP() << "descriptors cannot be exhausted under the sanitizers";
#endif
  rlimit previous{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &previous), 0);
  rlimit low = previous;
  low.rlim_cur = std::min<rlim_t>(previous.rlim_cur, static_cast<rlim_t>(HighestOpenDescriptor()) + 64);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  // Every descriptor the process may still open, but one for the client.
  std::vector<int> taken;
  auto takeAll = [&] {
    for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) taken.push_back(fd);
  };
  takeAll();
  // Descriptors that earlier tests' connections still held may free late: take those too.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  takeAll();
  ASSERT_FALSE(taken.empty());
  close(taken.back());
  taken.pop_back();
  std::string answer;
  {
    RawClient client(port_);
    ASSERT_TRUE(client.Connected());
    client.Send("GET " + healthy_.Url("/busy") + " HTTP/1.1\r\n\r\n");
    answer = client.ReadAll();
  }
  for (int fd : taken) close(fd);
  setrlimit(RLIMIT_NOFILE, &previous);
  // Told at once, instead of waiting in the listen queue.
  EXPECT_THAT(answer, StartsWith("HTTP/1.1 503 "));
  EXPECT_THAT(answer, HasSubstr("no file descriptors left"));
  EXPECT_EQ(healthy_.RequestCount(), 0u);
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
    thread_ = std::thread([this] {
      RawClient peer = listener_.Accept();
      for (std::string bytes; !(bytes = peer.ReadSome()).empty();) peer.Send(bytes);
    });
  }
  ~EchoServer() {
    listener_.Shut();
    thread_.join();
  }
  std::uint16_t Port() const { return listener_.Port(); }

 private:
  RawListener listener_;
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
