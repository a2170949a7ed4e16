#include "http_request.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "test_server.h"
#include "text_encoding.h"

namespace veltrox {
namespace {

using testing::RecordedRequest;
using testing::Reply;
using testing::TestServer;

std::string Text(const ByteArray& bytes) { return std::string(bytes.begin(), bytes.end()); }

ByteArray Bytes(std::string_view text) { return ByteArray(text.begin(), text.end()); }

Reply Answer(int status, std::vector<std::pair<std::string, std::string>> headers, std::string body) {
  Reply reply;
  reply.status = status;
  reply.headers = std::move(headers);
  reply.body = std::move(body);
  return reply;
}

std::shared_ptr<HttpRequest> NewRequest() {
  auto request = HttpRequest::Create();
  EXPECT_NE(request, nullptr);
  // Generous limits: they only stop a broken exchange from hanging the test.
  if (request) request->SetTimeouts(10000, 10000, 10000, 10000);
  return request;
}

TEST(HttpRequest, ExchangeReportsStatusHeadersAndBody) {
  TestServer server([](const RecordedRequest&) {
    return Answer(201, {{"X-One", "1"}, {"set-cookie", "a=1; path=/"}, {"Date", "Wed, 27 May 2020 01:02:03 GMT"}},
                  "hello");
  });
  auto request = NewRequest();
  ASSERT_TRUE(request->Open("GET", server.Url("/path?q=1")));
  ASSERT_TRUE(request->SetRequestHeader("X-Mine", Gb(u8"值")));
  ASSERT_TRUE(request->Send());
  EXPECT_EQ(request->Status(), 201);
  EXPECT_EQ(Text(request->ResponseBody()), "hello");
  EXPECT_EQ(request->GetAllResponseHeaders(),
            "X-One: 1\r\nset-cookie: a=1; path=/\r\nDate: Wed, 27 May 2020 01:02:03 GMT\r\nContent-Length: 5\r\n");

  ASSERT_EQ(server.RequestCount(), 1u);
  const RecordedRequest seen = server.Requests()[0];
  EXPECT_EQ(seen.method, "GET");
  EXPECT_EQ(seen.target, "/path?q=1");
  EXPECT_EQ(seen.version, "HTTP/1.1");
  // Header values go out as the caller's bytes.
  EXPECT_EQ(seen.Header("X-Mine"), Gb(u8"值"));
  // Only what the caller set, plus what HTTP/1.1 itself needs.
  for (const char* name : {"Accept", "Expect", "Content-Type", "User-Agent", "Content-Length", "Cookie"}) {
    EXPECT_FALSE(seen.HasHeader(name)) << name;
  }
  EXPECT_TRUE(seen.HasHeader("Host"));
}

TEST(HttpRequest, HeaderSetTwiceIsReplacedAndBadHeadersAreRefused) {
  TestServer server;
  auto request = NewRequest();
  EXPECT_FALSE(request->SetRequestHeader("X-Early", "before Open"));
  ASSERT_TRUE(request->Open("GET", server.Url()));
  EXPECT_TRUE(request->SetRequestHeader("X-Twice", "first"));
  EXPECT_TRUE(request->SetRequestHeader("Cookie", ""));
  EXPECT_TRUE(request->SetRequestHeader("x-twice", "second"));
  EXPECT_TRUE(request->SetRequestHeader("Host", "a:8080"));
  struct Bad {
    std::string name, value;
  } bad[] = {{"", "v"}, {"Bad Name", "v"}, {"Colon:", "v"}, {"X-Split", "a\r\nInjected: 1"},
             {"X-Lf", "a\nb"}, {std::string("X-Nul"), std::string("a\0b", 3)}, {Gb(u8"名"), "v"}};
  for (const Bad& b : bad) EXPECT_FALSE(request->SetRequestHeader(b.name, b.value)) << b.name;
  ASSERT_TRUE(request->Send());
  const RecordedRequest seen = server.Requests().at(0);
  EXPECT_EQ(seen.HeaderCount("X-Twice"), 1u);
  EXPECT_EQ(seen.Header("X-Twice"), "second");
  EXPECT_EQ(seen.HeaderCount("Cookie"), 1u);
  EXPECT_EQ(seen.Header("Cookie"), "");
  EXPECT_EQ(seen.HeaderCount("Host"), 1u);
  EXPECT_EQ(seen.Header("Host"), "a:8080");
  EXPECT_FALSE(seen.HasHeader("Injected"));
  EXPECT_FALSE(seen.HasHeader("X-Early"));
}

TEST(HttpRequest, VerbsAndBodies) {
  TestServer server([](const RecordedRequest& r) { return Answer(200, {}, "echo:" + r.body); });
  struct Case {
    const char* verb;
    std::string body;
    bool asBytes;
    bool expectLength;  // Content-Length on the wire
  } cases[] = {
      {"GET", "", false, false},      {"POST", "a=1", false, true},   {"POST", "", false, true},
      {"PUT", "", true, true},        {"PUT", std::string("\0\x01\xFF", 3), true, true},
      {"DELETE", "", false, false},   {"OPTIONS", "x", false, true},  {"TRACE", "", false, false},
      {"PATCH", "p", true, true},     {"GET", "with body", false, true},
  };
  auto request = NewRequest();
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.verb) + " " + c.body);
    const std::size_t before = server.RequestCount();
    ASSERT_TRUE(request->Open(c.verb, server.Url("/v")));
    ASSERT_TRUE(c.asBytes ? request->Send(Bytes(c.body)) : request->Send(c.body));
    EXPECT_EQ(Text(request->ResponseBody()), "echo:" + c.body);
    const RecordedRequest seen = server.Requests().at(before);
    EXPECT_EQ(seen.method, c.verb);
    EXPECT_EQ(seen.body, c.body);
    EXPECT_EQ(seen.HasHeader("Content-Length"), c.expectLength);
    EXPECT_FALSE(seen.HasHeader("Content-Type"));
  }
}

TEST(HttpRequest, HeadDoesNotWaitForTheAnnouncedBody) {
  TestServer server([](const RecordedRequest&) { return Answer(200, {{"Date", "x"}}, "0123456789"); });
  auto request = NewRequest();
  // A receive limit longer than the test would ever wait: a HEAD that waited
  // for the ten announced bytes would fail here rather than hang.
  request->SetTimeouts(10000, 10000, 10000, 10000);
  ASSERT_TRUE(request->Open("HEAD", server.Url()));
  ASSERT_TRUE(request->Send("ignored"));
  EXPECT_EQ(request->Status(), 200);
  EXPECT_TRUE(request->ResponseBody().empty());
  EXPECT_THAT(request->GetAllResponseHeaders(), ::testing::HasSubstr("Content-Length: 10\r\n"));
  EXPECT_EQ(server.Requests().at(0).body, "");
}

TEST(HttpRequest, RedirectsFollowedOrNot) {
  TestServer server([](const RecordedRequest& r) {
    if (r.target == "/old") return Answer(302, {{"Location", "/new"}, {"X-Hop", "1"}}, "moved");
    return Answer(200, {{"X-Final", "1"}}, "arrived");
  });
  auto request = NewRequest();
  ASSERT_TRUE(request->Open("GET", server.Url("/old")));
  ASSERT_TRUE(request->Send());
  EXPECT_EQ(request->Status(), 200);
  EXPECT_EQ(Text(request->ResponseBody()), "arrived");
  // Only the final response's headers.
  EXPECT_THAT(request->GetAllResponseHeaders(), ::testing::Not(::testing::HasSubstr("X-Hop")));

  ASSERT_TRUE(request->SetOption(HttpRequest::kOptionEnableRedirects, 0));
  EXPECT_EQ(request->Option(HttpRequest::kOptionEnableRedirects), 0);
  ASSERT_TRUE(request->Open("GET", server.Url("/old")));
  ASSERT_TRUE(request->Send());
  EXPECT_EQ(request->Status(), 302);
  EXPECT_EQ(Text(request->ResponseBody()), "moved");
  EXPECT_THAT(request->GetAllResponseHeaders(), ::testing::HasSubstr("Location: /new\r\n"));
  EXPECT_EQ(server.RequestCount(), 3u);
}

TEST(HttpRequest, FailedExchangesLeaveNoResponse) {
  TestServer server;
  struct Case {
    const char* name;
    Reply reply;
    bool refuse;
  } cases[] = {
      {"connection refused", Reply{}, true},
      {"closed without an answer", [] { Reply r; r.cut = Reply::Cut::WithoutAnswer; return r; }(), false},
      {"cut in the body", [] { Reply r; r.body = std::string(4096, 'b'); r.cut = Reply::Cut::MidBody; return r; }(), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestServer target;
    target.SetReply(c.reply);
    if (c.refuse) target.Refuse();
    auto request = NewRequest();
    // A previous good exchange must not show through a failed one.
    ASSERT_TRUE(request->Open("GET", server.Url()));
    ASSERT_TRUE(request->Send());
    ASSERT_EQ(request->Status(), 200);
    ASSERT_TRUE(request->Open("GET", target.Url()));
    EXPECT_FALSE(request->Send());
    EXPECT_EQ(request->Status(), 0);
    EXPECT_TRUE(request->ResponseBody().empty());
    EXPECT_EQ(request->GetAllResponseHeaders(), "");
  }
}

TEST(HttpRequest, ReceiveLimitEndsASilentServer) {
  TestServer server;
  Reply slow;
  slow.delay = std::chrono::milliseconds(3000);
  server.SetReply(slow);
  auto request = NewRequest();
  request->SetTimeouts(10000, 10000, 10000, 100);
  ASSERT_TRUE(request->Open("GET", server.Url()));
  EXPECT_FALSE(request->Send());
  EXPECT_EQ(request->Status(), 0);
}

TEST(HttpRequest, OpenRefusesWhatIsNotAnHttpUrl) {
  auto request = NewRequest();
  for (const char* url : {"", "not a url", "ftp://127.0.0.1/", "file:///etc/passwd", "http://", "http://a\nb/"}) {
    EXPECT_FALSE(request->Open("GET", url)) << url;
    EXPECT_FALSE(request->Send()) << url;
  }
  EXPECT_FALSE(request->Open("", "http://127.0.0.1/"));
  EXPECT_FALSE(request->Open("G T", "http://127.0.0.1/"));
  EXPECT_FALSE(request->Open("GET", "http://127.0.0.1/", true));  // asynchronous is not offered
}

TEST(HttpRequest, NonAsciiUrlsArePercentEncodedAsUtf8) {
  TestServer server;
  auto request = NewRequest();
  ASSERT_TRUE(request->Open("GET", server.Url(Gb(u8"/中文 x?k=值"))));
  ASSERT_TRUE(request->Send());
  EXPECT_EQ(server.Requests().at(0).target, "/%E4%B8%AD%E6%96%87%20x?k=%E5%80%BC");
}

TEST(HttpRequest, NamedProxyGetsAbsoluteTargetAndProxyHeaders) {
  TestServer proxy([](const RecordedRequest&) { return Answer(200, {}, "via proxy"); });
  auto request = NewRequest();
  ASSERT_TRUE(request->SetProxy(HttpRequest::kProxyNamed, "127.0.0.1:" + std::to_string(proxy.Port())));
  ASSERT_TRUE(request->Open("GET", "http://veltrox.invalid/page"));
  ASSERT_TRUE(request->SetRequestHeader("Proxy-Authorization", "Basic dTpw"));
  ASSERT_TRUE(request->SetRequestHeader("X-Origin", "1"));
  ASSERT_TRUE(request->Send());
  EXPECT_EQ(Text(request->ResponseBody()), "via proxy");
  const RecordedRequest seen = proxy.Requests().at(0);
  EXPECT_EQ(seen.target, "http://veltrox.invalid/page");
  EXPECT_EQ(seen.HeaderCount("Proxy-Authorization"), 1u);
  EXPECT_EQ(seen.Header("Proxy-Authorization"), "Basic dTpw");
  EXPECT_EQ(seen.Header("X-Origin"), "1");

  // Back to direct: the same object reaches the server itself.
  TestServer direct;
  ASSERT_TRUE(request->SetProxy(HttpRequest::kProxyDirect));
  ASSERT_TRUE(request->Open("GET", direct.Url("/d")));
  ASSERT_TRUE(request->Send());
  EXPECT_EQ(direct.Requests().at(0).target, "/d");
  EXPECT_FALSE(request->SetProxy(HttpRequest::kProxyNamed, ""));
  EXPECT_FALSE(request->SetProxy(7, "127.0.0.1:1"));
}

TEST(HttpRequest, KeptObjectReusesItsConnectionAndForgetsHeadersOnOpen) {
  TestServer server;
  auto request = NewRequest();
  ASSERT_TRUE(request->Open("GET", server.Url("/1")));
  ASSERT_TRUE(request->SetRequestHeader("X-First", "1"));
  ASSERT_TRUE(request->Send());
  ASSERT_TRUE(request->Open("GET", server.Url("/2")));
  EXPECT_EQ(request->Status(), 0);  // Open starts afresh
  ASSERT_TRUE(request->Send());
  const auto seen = server.Requests();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_FALSE(seen[1].HasHeader("X-First"));
  EXPECT_EQ(server.ConnectionCount(), 1u);
}

TEST(HttpRequest, SettingsAndTheCreationSeam) {
  auto request = HttpRequest::Create();
  ASSERT_NE(request, nullptr);
  EXPECT_EQ(request->CurrentTimeouts(), (HttpRequest::Timeouts{0, 60000, 30000, 30000}));
  EXPECT_TRUE(request->SetTimeouts(1, 2, 3, 4));
  EXPECT_EQ(request->CurrentTimeouts(), (HttpRequest::Timeouts{1, 2, 3, 4}));
  EXPECT_TRUE(request->SetOption(HttpRequest::kOptionSslErrorIgnoreFlags, 0x3300));
  EXPECT_EQ(request->Option(HttpRequest::kOptionSslErrorIgnoreFlags), 0x3300);
  EXPECT_FALSE(request->SetOption(5, 1));
  EXPECT_FALSE(request->Send());  // never opened

  SetHttpRequestCreationFailsForTesting(true);
  EXPECT_EQ(HttpRequest::Create(), nullptr);
  SetHttpRequestCreationFailsForTesting(false);
  EXPECT_NE(HttpRequest::Create(), nullptr);
}

}  // namespace
}  // namespace veltrox
