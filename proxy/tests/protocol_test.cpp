// Protocol pieces of the core that do not touch sockets: URLs, header lists,
// content codings, WebSocket frames and the session's decode step.

#include <gtest/gtest.h>

#include <random>

#include "body_codec.h"
#include "http_headers.h"
#include "session.h"
#include "url.h"
#include "websocket_frame.h"

namespace veltrox::proxy {
namespace {

TEST(UrlTest, ParsesAbsoluteUrls) {
  struct Case {
    const char* text;
    bool ok;
    const char* scheme;
    const char* host;
    int port;
    const char* target;
    const char* full;
  } cases[] = {
      {"http://example.com/a?b=1", true, "http", "example.com", 80, "/a?b=1", "http://example.com/a?b=1"},
      {"HTTP://Example.com:8080", true, "http", "Example.com", 8080, "/", "http://Example.com:8080/"},
      {"https://h:443/x", true, "https", "h", 443, "/x", "https://h/x"},
      {"https://h:80/x", true, "https", "h", 80, "/x", "https://h:80/x"},
      {"http://[::1]:9000/p", true, "http", "::1", 9000, "/p", "http://[::1]:9000/p"},
      {"http://h?q=1", true, "http", "h", 80, "/?q=1", "http://h/?q=1"},
      {"http://h/p#frag", true, "http", "h", 80, "/p", "http://h/p"},
      {"ws://h:81/chat", true, "ws", "h", 81, "/chat", "ws://h:81/chat"},
      {"ftp://h/", false, "", "", 0, "", ""},
      {"http://user@h/", false, "", "", 0, "", ""},
      {"http://h:0/", false, "", "", 0, "", ""},
      {"http://h:65536/", false, "", "", 0, "", ""},
      {"http://h:12x/", false, "", "", 0, "", ""},
      {"http:///path", false, "", "", 0, "", ""},
      {"/relative", false, "", "", 0, "", ""},
      {"http://h/a\r\nX-Evil: 1", false, "", "", 0, "", ""},
      {"http://h/a\tb", false, "", "", 0, "", ""},
      {"http://h\x7f/", false, "", "", 0, "", ""},
      {"http://h/a b", true, "http", "h", 80, "/a b", "http://h/a b"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    auto url = ParseAbsoluteUrl(c.text);
    ASSERT_EQ(url.has_value(), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(url->scheme, c.scheme);
    EXPECT_EQ(url->host, c.host);
    EXPECT_EQ(url->port, c.port);
    EXPECT_EQ(url->target, c.target);
    EXPECT_EQ(url->Full(), c.full);
  }
}

TEST(UrlTest, ParsesAuthorities) {
  EXPECT_EQ(ParseAuthority("h:8443", 0)->Full(), "h:8443");
  EXPECT_EQ(ParseAuthority("[::1]:8443", 0)->Full(), "[::1]:8443");
  EXPECT_EQ(ParseAuthority("h", 443)->port, 443);
  EXPECT_FALSE(ParseAuthority("h", 0));
  EXPECT_FALSE(ParseAuthority("::1:80", 0));
  EXPECT_FALSE(ParseAuthority(":80", 0));
  EXPECT_FALSE(ParseAuthority("a b:80", 0));
}

TEST(UrlTest, WireTargetEscapesWhatARequestLineCannotCarry) {
  EXPECT_EQ(WireTarget("/a b?c=\xe4\xb8\xad"), "/a%20b?c=%E4%B8%AD");
  EXPECT_EQ(WireTarget("/plain?x=%41&y"), "/plain?x=%41&y");
}

TEST(HeaderListTest, NamesIgnoreCaseAndSetKeepsThePlaceOfTheFirst) {
  HeaderList h;
  h.Add("Set-Cookie", "a=1");
  h.Add("X", "1");
  h.Add("set-cookie", "b=2");
  EXPECT_EQ(h.Count("SET-COOKIE"), 2u);
  EXPECT_EQ(h.Get("set-cookie"), "a=1");
  h.Set("Set-Cookie", "c=3");
  EXPECT_EQ(h.Render(), "Set-Cookie: c=3\r\nX: 1\r\n");
  EXPECT_EQ(h.RemoveAll("x"), 1u);
  EXPECT_EQ(h.Render(), "Set-Cookie: c=3\r\n");
  h.Add("Connection", "keep-alive, Upgrade");
  EXPECT_TRUE(h.HasToken("connection", "upgrade"));
  EXPECT_FALSE(h.HasToken("connection", "close"));
}

TEST(BodyCodecTest, RoundTripsEveryCoding) {
  std::string text;
  for (int i = 0; i < 2000; ++i) text += "line " + std::to_string(i) + " of the body\n";
  for (const char* coding : {"gzip", "deflate", "br"}) {
    SCOPED_TRACE(coding);
    auto packed = EncodeContent(coding, text);
    ASSERT_TRUE(packed);
    EXPECT_LT(packed->size(), text.size());
    auto unpacked = DecodeContent(coding, *packed, 1 << 20);
    ASSERT_TRUE(unpacked);
    EXPECT_EQ(*unpacked, text);
    // Cut short, corrupted, or beyond the limit: no result rather than a wrong one.
    EXPECT_FALSE(DecodeContent(coding, packed->substr(0, packed->size() / 2), 1 << 20));
    EXPECT_FALSE(DecodeContent(coding, *packed, text.size() - 1));
  }
  EXPECT_FALSE(DecodeContent("gzip", "not gzip at all", 1 << 20));
  EXPECT_FALSE(DecodeContent("zstd", "x", 1 << 20));
}

TEST(BodyCodecTest, DeflateAcceptsRawStreamsAndGzipConcatenatedMembers) {
  auto zlib = EncodeContent("deflate", "hello");
  ASSERT_TRUE(zlib);
  // Strip the two-byte zlib header and four-byte trailer: raw deflate, as some servers send.
  std::string raw = zlib->substr(2, zlib->size() - 6);
  EXPECT_EQ(DecodeContent("deflate", raw, 100), "hello");
  auto a = EncodeContent("gzip", "one ");
  auto b = EncodeContent("gzip", "two");
  EXPECT_EQ(DecodeContent("gzip", *a + *b, 100), "one two");
}

TEST(SessionTest, DecodeResponseBodyUndoesCodingsAndFixesLengths) {
  Session s;
  s.method = "GET";
  s.hasResponse = true;
  s.status = 200;
  s.responseHeaders.Add("Transfer-Encoding", "chunked");
  s.responseHeaders.Add("Content-Encoding", "gzip, br");
  std::string body = "<p>hello</p>";
  s.responseBody = *EncodeContent("br", *EncodeContent("gzip", body));
  s.DecodeResponseBody();
  EXPECT_EQ(s.responseBody, body);
  EXPECT_FALSE(s.responseHeaders.Has("Transfer-Encoding"));
  EXPECT_FALSE(s.responseHeaders.Has("Content-Encoding"));
  EXPECT_EQ(s.responseHeaders.Get("Content-Length"), std::to_string(body.size()));

  // A coding it cannot undo stays with its bytes.
  Session unknown;
  unknown.hasResponse = true;
  unknown.status = 200;
  unknown.responseHeaders.Add("Content-Encoding", "zstd");
  unknown.responseBody = "\x28\xb5\x2f\xfd";
  unknown.DecodeResponseBody();
  EXPECT_EQ(unknown.responseHeaders.Get("Content-Encoding"), "zstd");
  EXPECT_EQ(unknown.responseBody, "\x28\xb5\x2f\xfd");

  // A HEAD answer keeps the length of the GET it describes.
  Session head;
  head.method = "HEAD";
  head.hasResponse = true;
  head.status = 200;
  head.responseHeaders.Add("Content-Length", "1234");
  head.DecodeResponseBody();
  EXPECT_EQ(head.responseHeaders.Get("Content-Length"), "1234");
}

TEST(SessionTest, SetFullUrlMovesTheHostHeader) {
  Session s;
  s.url = *ParseAbsoluteUrl("http://a.test/x");
  s.requestHeaders.Add("Host", "a.test");
  EXPECT_TRUE(s.SetFullUrl("https://b.test:8443/y?z"));
  EXPECT_EQ(s.requestHeaders.Get("Host"), "b.test:8443");
  EXPECT_EQ(s.FullUrl(), "https://b.test:8443/y?z");
  EXPECT_TRUE(s.SetFullUrl("http://c.test:80/"));
  EXPECT_EQ(s.requestHeaders.Get("Host"), "c.test");
  EXPECT_FALSE(s.SetFullUrl("not a url"));
  EXPECT_EQ(s.FullUrl(), "http://c.test/");

  Session tunnel;
  tunnel.isTunnel = true;
  tunnel.url = *ParseAuthority("a.test:8443", 0);
  EXPECT_EQ(tunnel.FullUrl(), "a.test:8443");
  EXPECT_TRUE(tunnel.SetFullUrl("b.test:9443"));
  EXPECT_EQ(tunnel.url.port, 9443);
}

// Every frame shape parsed whole and from every split of its bytes.
TEST(WebSocketFrameTest, ParsesAtEverySplitPoint) {
  std::array<std::uint8_t, 4> key{1, 2, 3, 4};
  struct Case {
    const char* name;
    std::uint8_t opcode;
    bool fin;
    std::size_t length;
    bool masked;
  } cases[] = {
      {"short text", 1, true, 5, false},  {"masked text", 1, true, 5, true},
      {"16-bit length", 2, true, 300, true}, {"64-bit length", 2, false, 70000, false},
      {"empty ping", 9, true, 0, true},    {"continuation", 0, true, 125, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string payload(c.length, 'x');
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>('a' + i % 26);
    std::string wire = EncodeWebSocketFrame(c.fin, 0, c.opcode, payload,
                                            c.masked ? std::optional(key) : std::nullopt);
    bool bad = false;
    auto whole = ParseWebSocketFrameHeader(wire, bad);
    ASSERT_TRUE(whole);
    EXPECT_EQ(whole->opcode, c.opcode);
    EXPECT_EQ(whole->fin, c.fin);
    EXPECT_EQ(whole->payloadLength, c.length);
    EXPECT_EQ(whole->headerLength + c.length, wire.size());
    std::string body = wire.substr(whole->headerLength);
    if (whole->masked) ApplyWebSocketMask(body, whole->mask);
    EXPECT_EQ(body, payload);
    for (std::size_t cut = 0; cut < whole->headerLength; ++cut) {
      EXPECT_FALSE(ParseWebSocketFrameHeader(std::string_view(wire).substr(0, cut), bad)) << cut;
      EXPECT_FALSE(bad);
    }
  }
}

TEST(WebSocketFrameTest, RefusesFramesNoPeerMaySend) {
  bool bad = false;
  EXPECT_FALSE(ParseWebSocketFrameHeader(std::string("\x09\x00", 2), bad));  // fragmented ping
  EXPECT_TRUE(bad);
  EXPECT_FALSE(ParseWebSocketFrameHeader(std::string("\x89\x7e\x00\x80", 4), bad));  // 128-byte ping
  EXPECT_TRUE(bad);
  std::string huge("\x82\x7f\x80\x00\x00\x00\x00\x00\x00\x00", 10);
  EXPECT_FALSE(ParseWebSocketFrameHeader(huge, bad));
  EXPECT_TRUE(bad);
}

TEST(WebSocketFrameTest, MaskOffsetsContinueAcrossPieces) {
  std::array<std::uint8_t, 4> key{9, 8, 7, 6};
  std::string text = "a message split into pieces";
  std::string whole = text;
  ApplyWebSocketMask(whole, key);
  std::string first = text.substr(0, 7), second = text.substr(7);
  ApplyWebSocketMask(first, key, 0);
  ApplyWebSocketMask(second, key, 7);
  EXPECT_EQ(first + second, whole);
  EXPECT_EQ(WebSocketFrameTypeName(0), "Continuation");
  EXPECT_EQ(WebSocketFrameTypeName(10), "Pong");
}

}  // namespace
}  // namespace veltrox::proxy
