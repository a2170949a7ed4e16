#include "session_record.h"

#include <gtest/gtest.h>

#include <clocale>
#include <climits>
#include <cstdlib>
#include <functional>

#include "test_support.h"
#include "text_encoding.h"

namespace veltrox {
namespace {

using testing::FakeBlock;

void FillSessionTexts(FakeBlock& block) {
  block.Text(kWordUrl, "http://127.0.0.1:8080/api?q=1")
      .Text(kWordHeaders, "GET /api?q=1 HTTP/1.1\r\nHost: 127.0.0.1:8080\r\n")
      .Text(kWordCookie, "a=1; b=2")
      .Text(kWordProcess, "chromium:4242")
      .Text(kWordBody, "body text")
      .Text(kWordContentType, "text/plain")
      .Text(kWordBodyLength, "9")
      .Word(kWordSessionId, 77);
}

SessionInfo SessionRecord(std::string type) {
  SessionInfo info;
  info.type = std::move(type);
  info.url = "http://127.0.0.1:8080/api?q=1";
  info.headers = "GET /api?q=1 HTTP/1.1\r\nHost: 127.0.0.1:8080\r\n";
  info.cookie = "a=1; b=2";
  info.process = "chromium:4242";
  info.body = "body text";
  info.contentType = "text/plain";
  info.bodyLength = 9;
  info.sessionId = 77;
  return info;
}

SessionInfo WebSocketRecord(std::string direction) {
  SessionInfo info;
  info.type = "websocket";
  info.webSocket = {"hello", "Text", std::move(direction), 0, 12};
  return info;
}

TEST(DecodeSession, EachKindOfBlock) {
  struct Case {
    const char* name;
    std::int32_t typeCode;
    std::function<void(FakeBlock&)> fill;
    SessionInfo expected;
  } cases[] = {
      {"send", 1, FillSessionTexts, SessionRecord("send")},
      {"recv", 0, FillSessionTexts, SessionRecord("recv")},
      {"unknown type code", 7, FillSessionTexts, SessionRecord("")},
      {"negative type code", -1, FillSessionTexts, SessionRecord("")},
      {"websocket from the server", 2,
       [](FakeBlock& b) {
         b.Text(kWordUrl, "Text").Text(kWordHeaders, "0").Text(kWordCookie, "12").Text(kWordProcess, "True")
             .Text(kWordBody, "hello").Text(kWordContentType, "False").Text(kWordBodyLength, "5").Word(kWordSessionId, 12);
       },
       WebSocketRecord("recv")},
      {"websocket to the server", 2,
       [](FakeBlock& b) {
         b.Text(kWordUrl, "Text").Text(kWordCookie, "12").Text(kWordBody, "hello").Text(kWordContentType, "True");
       },
       WebSocketRecord("send")},
      {"websocket without an outbound flag", 2,
       [](FakeBlock& b) { b.Text(kWordUrl, "Text").Text(kWordCookie, "12").Text(kWordBody, "hello"); },
       WebSocketRecord("send")},
      {"websocket flag in another case", 2,
       [](FakeBlock& b) {
         b.Text(kWordUrl, "Text").Text(kWordCookie, "12").Text(kWordBody, "hello").Text(kWordContentType, "false");
       },
       WebSocketRecord("send")},
  };
  for (const Case& c : cases) {
    FakeBlock block(c.typeCode);
    c.fill(block);
    EXPECT_EQ(DecodeSession(block.Address()), c.expected) << c.name;
  }
}

TEST(DecodeSession, MissingTextsAndTheNullBlock) {
  EXPECT_EQ(DecodeSession(0), SessionInfo{});

  FakeBlock block(1);
  block.Text(kWordUrl, "http://a/").Text(kWordBody, "").Word(kWordSessionId, 3);  // others stay 0
  SessionInfo expected;
  expected.type = "send";
  expected.url = "http://a/";
  expected.sessionId = 3;
  EXPECT_EQ(DecodeSession(block.Address()), expected);
}

TEST(DecodeSession, IntegersAreTheLowThirtyTwoBits) {
  if (sizeof(RecordWord) < 8) GTEST_SKIP() << "words have no high bits here";
  FakeBlock block(0);
  block.Word(kWordTypeCode, (RecordWord{0xABCD} << 32) | 1).Word(kWordSessionId, (RecordWord{1} << 32) | 0xFFFFFFFEu);
  SessionInfo info = DecodeSession(block.Address());
  EXPECT_EQ(info.type, "send");
  EXPECT_EQ(info.sessionId, -2);
}

TEST(DecodeSession, TextsAreCopiedByteForByte) {
  const std::string url = "http://127.0.0.1/" + Gb(u8"接口/数据") + "?\x81\x30\x81\x30";
  std::string payload = Gb(u8"消息");
  FakeBlock block(1);
  block.Text(kWordUrl, url).Text(kWordBody, payload);
  SessionInfo info = DecodeSession(block.Address());
  EXPECT_EQ(info.url, url);
  EXPECT_EQ(info.body, payload);

  // The record is its own: the engine's texts die with the event.
  block.Text(kWordUrl, "http://other/");
  EXPECT_EQ(info.url, url);
}

TEST(DecodeSession, NumberWordsReadLikeTheCLibrary) {
  struct Case {
    const char* text;
    std::int32_t value;
  } cases[] = {
      {"0", 0},
      {"abc", 0},
      {"12.9", 12},
      {"-3", -3},
      {"-12.9", -12},
      {"", 0},
      {"  42 bytes", 42},
      {"\t+7", 7},
      {"1e3", 1000},
      {"2.5E1x", 25},
      {".9", 0},
      {"0x1A", 26},
      {"2147483647", INT_MAX},
      {"2147483648", INT_MIN},
      {"4294967297", 1},
      {"-2147483649", INT_MAX},
      {"1e15", -1530494976},
      {"-1e15", 1530494976},
      {"9007199254740994", 2},
      {"inf", 0},
      {"-infinity", 0},
      {"nan", 0},
      {"1e400", 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ReadNumberText(c.text), c.value) << '"' << c.text << '"';
  }

  FakeBlock send(1);
  send.Text(kWordBodyLength, "12.9");
  EXPECT_EQ(DecodeSession(send.Address()).bodyLength, 12);
  FakeBlock message(2);
  message.Text(kWordCookie, "-3").Text(kWordContentType, "False");
  EXPECT_EQ(DecodeSession(message.Address()).webSocket.messageId, -3);
  EXPECT_EQ(DecodeSession(message.Address()).webSocket.outboundValue, 0);
}

TEST(DecodeSession, NumbersIgnoreTheUserLocale) {
  // The window runs in the user's locale; in German strtod wants "1,5".
  testing::TempDir locales;
  testing::ScopedEnv path("LOCPATH", locales.Path().string());
  const std::string saved = std::setlocale(LC_NUMERIC, nullptr);
  // Made here rather than asked of the system, which often has none but C.
  std::string build = "localedef -i de_DE -f UTF-8 " + (locales / "de_DE.UTF-8") + " >/dev/null 2>&1";
  if (std::system(build.c_str()) != 0 || !std::setlocale(LC_NUMERIC, "de_DE.UTF-8")) {
    GTEST_SKIP() << "localedef cannot make a German locale here";
  }
  ASSERT_EQ(std::strtod("1.5", nullptr), 1.0);  // the locale is in force
  std::int32_t value = ReadNumberText("1.5e3");
  std::setlocale(LC_NUMERIC, saved.c_str());
  EXPECT_EQ(value, 1500);
}

}  // namespace
}  // namespace veltrox
