#include "web_request.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>

#include "test_server.h"
#include "text_encoding.h"

namespace veltrox {
namespace {

using ::testing::HasSubstr;
using testing::RecordedRequest;
using testing::Reply;
using testing::TestServer;

std::string Text(const ByteArray& bytes) { return std::string(bytes.begin(), bytes.end()); }

constexpr const char* kUserAgent = "Mozilla/4.0 (compatible; MSIE 9.0; Windows NT 6.1)";

// A server that answers every request with `reply` and a short timeout for
// the routine, so that a broken exchange fails instead of hanging.
struct Exchange {
  TestServer server;
  WebRequestOptions options;
  std::string headers;
  std::string responseHeaders;
  std::int32_t status = -7;

  Exchange() {
    options.headers = &headers;
    options.responseHeaders = &responseHeaders;
    options.status = &status;
    options.timeoutSeconds = 10;
  }
  ByteArray Run(std::string_view path = "/") { return WebRequest(server.Url(path), options); }
  RecordedRequest Seen() const { return server.Requests().at(0); }
};

TEST(WebRequest, DefaultHeadersAreCompletedInOrder) {
  Exchange x;
  x.options.normaliseHeaders = false;
  const std::string url = x.server.Url("/p");
  EXPECT_EQ(Text(x.Run("/p")), "ok");
  EXPECT_EQ(x.status, 200);
  EXPECT_EQ(x.headers, "\r\nAccept: */*\r\nReferer: " + url + "\r\nAccept-Language: zh-cn\r\nUser-Agent: " + kUserAgent);
  const RecordedRequest seen = x.Seen();
  EXPECT_EQ(seen.Header("Accept"), "*/*");
  EXPECT_EQ(seen.Header("Referer"), url);
  EXPECT_EQ(seen.Header("Accept-Language"), "zh-cn");
  EXPECT_EQ(seen.Header("User-Agent"), kUserAgent);
  // The four, in the order set, behind the Host line libcurl writes first.
  ASSERT_EQ(seen.headers.size(), 5u);
  EXPECT_EQ(seen.headers[1].first, "Accept");
  EXPECT_EQ(seen.headers[4].first, "User-Agent");
}

TEST(WebRequest, HeaderCompletionAndNormalisation) {
  struct Case {
    const char* name;
    std::int32_t method;
    std::string headers;
    std::optional<bool> complete, normalise;
    std::string expectedHeaders;  // "{url}" stands for the URL
  } cases[] = {
      {"normalised drops the empty first line", 0, "", {}, {},
       "Accept: */*\r\nReferer: {url}\r\nAccept-Language: zh-cn\r\nUser-Agent: " + std::string(kUserAgent)},
      {"marker ignores case", 0, "accept: text/html", {}, {},
       "Accept: text/html\r\nReferer: {url}\r\nAccept-Language: zh-cn\r\nUser-Agent: " + std::string(kUserAgent)},
      {"marker anywhere", 0, "X-Accept: 1\r\nreferer: r\r\nAccept-Language: en\r\nUser-Agent: u", {}, {},
       "X-Accept: 1\r\nReferer: r\r\nAccept-Language: en\r\nUser-Agent: u"},
      {"POST gets a form type", 1, "Accept: a\r\nReferer: r\r\nAccept-Language: l\r\nUser-Agent: u", {}, {},
       "Accept: a\r\nReferer: r\r\nAccept-Language: l\r\nUser-Agent: u\r\nContent-Type: application/x-www-form-urlencoded"},
      {"POST keeps its own type", 1, "content-type: text/plain", true, false,
       "content-type: text/plain\r\nAccept: */*\r\nReferer: {url}\r\nAccept-Language: zh-cn\r\nUser-Agent: " +
           std::string(kUserAgent)},
      {"PUT gets no type", 3, "Accept: a\r\nReferer: r\r\nAccept-Language: l\r\nUser-Agent: u", {}, {},
       "Accept: a\r\nReferer: r\r\nAccept-Language: l\r\nUser-Agent: u"},
      {"out-of-range method is GET, no type", 9, "a: 1", false, {}, "A: 1"},
      {"not completed, normalised", 0, "x-a: 1\r\nbad line\r\n", false, true, "X-A: 1"},
      {"neither", 0, "x-a: 1\r\n", false, false, "x-a: 1\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Exchange x;
    x.headers = c.headers;
    x.options.method = c.method;
    x.options.completeHeaders = c.complete;
    x.options.normaliseHeaders = c.normalise;
    x.Run("/h");
    std::string expected = c.expectedHeaders;
    const std::string url = x.server.Url("/h");
    for (std::size_t at; (at = expected.find("{url}")) != std::string::npos;) expected.replace(at, 5, url);
    EXPECT_EQ(x.headers, expected);
    EXPECT_EQ(x.status, 200);
  }
}

TEST(WebRequest, MethodTable) {
  struct Case {
    std::int32_t method;
    const char* verb;
  } cases[] = {{0, "GET"}, {1, "POST"}, {3, "PUT"}, {4, "OPTIONS"}, {5, "DELETE"}, {6, "TRACE"}, {8, "GET"}, {-1, "GET"}};
  for (const Case& c : cases) {
    Exchange x;
    x.options.method = c.method;
    x.Run();
    EXPECT_EQ(x.Seen().method, c.verb) << c.method;
    EXPECT_EQ(x.Seen().HasHeader("Content-Type"), c.method == 1) << c.method;
  }
}

TEST(WebRequest, KeepAliveLineIsSkippedOnlyAmongSeveral) {
  struct Case {
    const char* name;
    std::string headers;
    bool normalise;
    const char* connectionSeen;  // nullptr: no Connection header arrives
  } cases[] = {
      {"exact keep-alive skipped", "X: 1\r\nConnection: keep-alive", false, nullptr},
      {"other case of the value is sent", "X: 1\r\nConnection: Keep-Alive", false, "Keep-Alive"},
      {"close is sent", "X: 1\r\nConnection: close", false, "close"},
      {"re-cased name is skipped", "X: 1\r\nconnection: keep-alive", true, nullptr},
      {"lower-case name is sent unnormalised", "X: 1\r\nconnection: keep-alive", false, "keep-alive"},
      {"a single line is always sent", "Connection: keep-alive", false, "keep-alive"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Exchange x;
    x.headers = c.headers;
    x.options.completeHeaders = false;
    x.options.normaliseHeaders = c.normalise;
    x.Run();
    const RecordedRequest seen = x.Seen();
    if (c.connectionSeen == nullptr) {
      EXPECT_FALSE(seen.HasHeader("Connection"));
    } else {
      EXPECT_EQ(seen.Header("Connection"), c.connectionSeen);
    }
  }
}

TEST(WebRequest, SingleLineAndEmptyHeaders) {
  Exchange host;
  host.headers = "Host: a:8080";
  host.options.completeHeaders = false;
  host.Run();
  EXPECT_EQ(host.Seen().HeaderCount("Host"), 1u);
  EXPECT_EQ(host.Seen().Header("Host"), "a:8080");

  // One header call with an empty name and value, which sets nothing.
  Exchange empty;
  empty.options.completeHeaders = false;
  empty.Run();
  EXPECT_EQ(empty.status, 200);
  EXPECT_EQ(empty.Seen().headers.size(), 1u);  // Host only
}

TEST(WebRequest, CookiesGivenGivenEmptyAndAbsent) {
  struct Case {
    const char* name;
    std::optional<std::string> cookies;
    std::optional<bool> merge;
    std::optional<std::string> wire;  // Cookie header on the wire
    std::string cookiesAfter;
    std::string cookiesOut;
  } cases[] = {
      {"given with its prefix", "Cookie: a=1", {}, "a=1", "s=2; a=1", "s=2; a=1"},
      {"prefix in any case, every time", "cookie: a=1; COOKIE:b=2", {}, "a=1; b=2", "s=2; a=1; b=2", "s=2; a=1; b=2"},
      {"given empty", "", {}, "", "s=2", "s=2"},
      {"given, not merged", "x = 1", false, "x = 1", "x = 1", "s=2"},
      {"absent", std::nullopt, {}, std::nullopt, "", "s=2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Exchange x;
    Reply reply;
    reply.headers = {{"Set-Cookie", "s=2; path=/"}};
    x.server.SetReply(reply);
    std::string cookies = c.cookies.value_or("");
    std::string cookiesOut = "stale";
    if (c.cookies) x.options.cookies = &cookies;
    x.options.cookiesOut = &cookiesOut;
    x.options.mergeCookies = c.merge;
    x.Run();
    const RecordedRequest seen = x.Seen();
    if (c.wire) {
      EXPECT_EQ(seen.HeaderCount("Cookie"), 1u);
      EXPECT_EQ(seen.Header("Cookie"), *c.wire);
    } else {
      EXPECT_FALSE(seen.HasHeader("Cookie"));
    }
    if (c.cookies) EXPECT_EQ(cookies, c.cookiesAfter);
    EXPECT_EQ(cookiesOut, c.cookiesOut);
  }
}

TEST(WebRequest, SetCookieCollection) {
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string cookiesOut;
  } cases[] = {
      {"attributes dropped", {{"Set-Cookie", "a=1; path=/"}, {"Set-Cookie", "b=2"}}, "a=1; b=2"},
      {"lower-case name not collected", {{"set-cookie", "c=3"}, {"Set-Cookie", "d=4"}}, "d=4"},
      {"none", {{"X-Other", "1"}}, ""},
      {"empty value still counts", {{"Set-Cookie", ";path=/"}, {"Set-Cookie", "e=5"}}, "; e=5"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Exchange x;
    Reply reply;
    reply.headers = c.headers;
    x.server.SetReply(reply);
    std::string cookiesOut = "stale";
    x.options.cookiesOut = &cookiesOut;
    x.Run();
    EXPECT_EQ(cookiesOut, c.cookiesOut);
  }
}

TEST(WebRequest, ProxyAuthorizationThroughALoopbackProxy) {
  struct Case {
    const char* name;
    bool viaProxy;
    std::string user, password;
    std::optional<std::int32_t> mode;
    std::optional<std::string> expected;
  } cases[] = {
      {"user and password", true, "user", "pa:ss", {}, "Basic dXNlcjpwYTpzcw=="},
      {"mode 1 given", true, "u", "p", 1, "Basic dTpw"},
      {"empty password keeps the colon", true, "u", "", {}, "Basic dTo="},
      {"GB18030 user name bytes", true, Gb(u8"用户"), "p", {}, "Basic 08O7pzpw"},
      {"no user", true, "", "p", {}, std::nullopt},
      {"mode 2", true, "u", "p", 2, std::nullopt},
      {"no proxy", false, "u", "p", {}, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Exchange x;
    x.options.proxyUser = c.user;
    x.options.proxyPassword = c.password;
    x.options.proxyAuthMode = c.mode;
    std::string url = x.server.Url("/direct");
    if (c.viaProxy) {
      x.options.proxy = "127.0.0.1:" + std::to_string(x.server.Port());
      url = "http://veltrox.invalid/page";
    }
    WebRequest(url, x.options);
    const RecordedRequest seen = x.Seen();
    EXPECT_EQ(seen.target, c.viaProxy ? url : "/direct");
    if (c.expected) {
      EXPECT_EQ(seen.HeaderCount("Proxy-Authorization"), 1u);
      EXPECT_EQ(seen.Header("Proxy-Authorization"), *c.expected);
    } else {
      EXPECT_FALSE(seen.HasHeader("Proxy-Authorization"));
    }
  }
}

TEST(WebRequest, RedirectsFollowedAndNot) {
  for (bool noRedirect : {false, true}) {
    SCOPED_TRACE(noRedirect);
    Exchange x;
    x.server.SetHandler([](const RecordedRequest& r) {
      Reply reply;
      if (r.target == "/from") {
        reply.status = 301;
        reply.headers = {{"Location", "/to"}};
      } else {
        reply.body = "landed";
      }
      return reply;
    });
    x.options.noRedirect = noRedirect;
    const std::string body = Text(x.Run("/from"));
    EXPECT_EQ(x.status, noRedirect ? 301 : 200);
    EXPECT_EQ(body, noRedirect ? "" : "landed");
    EXPECT_EQ(x.server.RequestCount(), noRedirect ? 1u : 2u);
    EXPECT_EQ(x.responseHeaders.find("Location: /to\r\n") != std::string::npos, noRedirect);
  }
}

TEST(WebRequest, PostBytesWinOverPostText) {
  struct Case {
    ByteArray bytes;
    std::string text;
    std::string sent;
  } cases[] = {
      {{}, "a=1", "a=1"},
      {{0xFF}, "a=1", "\xFF"},
      {{'x', '\0', 'y'}, "", std::string("x\0y", 3)},
      {{}, Gb(u8"中文"), Gb(u8"中文")},  // a text body goes out as its GB18030 bytes
  };
  for (const Case& c : cases) {
    Exchange x;
    x.options.method = 1;
    x.options.postBytes = c.bytes;
    x.options.postText = c.text;
    x.Run();
    EXPECT_EQ(x.Seen().body, c.sent);
  }
}

TEST(WebRequest, TimeoutsOnALentObject) {
  struct Case {
    std::optional<std::int32_t> seconds;
    std::int32_t expectedMs;  // -1: left as the object had them
  } cases[] = {{-1, -1}, {0, 15000}, {std::nullopt, 15000}, {-5, 15000}, {30, 30000}, {1, 1000},
               // Beyond the 32-bit range of milliseconds the limit is held at the largest value.
               {2147484, INT32_MAX}};
  TestServer server;
  for (const Case& c : cases) {
    auto object = HttpRequest::Create();
    ASSERT_NE(object, nullptr);
    const HttpRequest::Timeouts before = object->CurrentTimeouts();
    WebRequestOptions options;
    if (c.seconds) options.timeoutSeconds = *c.seconds;
    options.requestObject = object;
    std::int32_t status = 0;
    options.status = &status;
    WebRequest(server.Url(), options);
    EXPECT_EQ(status, 200);
    const HttpRequest::Timeouts expected =
        c.expectedMs == -1 ? before : HttpRequest::Timeouts{c.expectedMs, c.expectedMs, c.expectedMs, c.expectedMs};
    EXPECT_EQ(object->CurrentTimeouts(), expected) << c.seconds.value_or(0);
  }
}

TEST(WebRequest, UnreachableHostEndsAsAFailedExchange) {
  Exchange x;
  x.server.Refuse();
  std::string cookiesOut = "stale";
  x.options.cookiesOut = &cookiesOut;
  x.responseHeaders = "stale";
  const ByteArray body = x.Run();
  EXPECT_TRUE(body.empty());
  EXPECT_EQ(x.responseHeaders, "");
  EXPECT_EQ(x.status, 0);
  EXPECT_EQ(cookiesOut, "");
}

TEST(WebRequest, LentObjectHoldingNothingFailsTheExchange) {
  Exchange x;
  std::string cookies = "a=1";
  std::string cookiesOut = "stale";
  x.options.cookies = &cookies;
  x.options.cookiesOut = &cookiesOut;
  x.options.requestObject = std::shared_ptr<HttpRequest>();
  x.responseHeaders = "stale";
  EXPECT_TRUE(x.Run().empty());
  EXPECT_EQ(x.server.RequestCount(), 0u);
  EXPECT_EQ(x.status, 0);
  EXPECT_EQ(x.responseHeaders, "");
  EXPECT_EQ(cookiesOut, "a=1");  // the merge of "" with what was sent
  EXPECT_EQ(cookies, "a=1");
}

TEST(WebRequest, CreationFailureLeavesEveryCallerVariableAlone) {
  Exchange x;
  std::string cookies = "Cookie: a=1";
  std::string cookiesOut = "out before";
  x.headers = "x-h: 1";
  x.responseHeaders = "response before";
  x.status = 123;
  x.options.cookies = &cookies;
  x.options.cookiesOut = &cookiesOut;
  SetHttpRequestCreationFailsForTesting(true);
  const ByteArray body = x.Run();
  SetHttpRequestCreationFailsForTesting(false);
  EXPECT_TRUE(body.empty());
  EXPECT_EQ(cookies, "Cookie: a=1");
  EXPECT_EQ(cookiesOut, "out before");
  EXPECT_EQ(x.headers, "x-h: 1");
  EXPECT_EQ(x.responseHeaders, "response before");
  EXPECT_EQ(x.status, 123);
  EXPECT_EQ(x.server.RequestCount(), 0u);
}

TEST(WebRequest, ResponseHeadersAsTheObjectReportsThem) {
  Exchange x;
  Reply reply;
  reply.status = 404;
  reply.reason = "Not Found";
  reply.headers = {{"Date", "Wed, 27 May 2020 01:02:03 GMT"}, {"X-Two", "a: b"}};
  reply.body = "missing";
  x.server.SetReply(reply);
  EXPECT_EQ(Text(x.Run()), "missing");
  EXPECT_EQ(x.status, 404);
  EXPECT_EQ(x.responseHeaders, "Date: Wed, 27 May 2020 01:02:03 GMT\r\nX-Two: a: b\r\nContent-Length: 7\r\n");
}

}  // namespace
}  // namespace veltrox
