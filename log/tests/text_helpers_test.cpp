#include "text_helpers.h"

#include <gtest/gtest.h>

#include "text_encoding.h"

namespace veltrox {
namespace {

TEST(TextHelpers, TextBetween) {
  struct Case {
    const char* name;
    std::u8string text, start, end;
    int from;
    bool ignoreCase;
    std::u8string expected;
  } cases[] = {
      {"date line", u8"Server: x\r\nDate: Tue, 01 Jan 2019 00:00:00 GMT\r\nA: b\r\n", u8"Date:", u8"\r\n", 1, false,
       u8" Tue, 01 Jan 2019 00:00:00 GMT"},
      {"start missing", u8"abc", u8"x", u8"c", 1, false, u8""},
      {"end missing behind start", u8"c abc", u8"a", u8"x", 1, false, u8""},
      {"end only in front of start", u8"c abc", u8"b", u8" ", 1, false, u8""},
      {"markers touch", u8"ab", u8"a", u8"b", 1, false, u8""},
      {"first start counts", u8"[1][2]", u8"[", u8"]", 1, false, u8"1"},
      {"from skips the first", u8"[1][2]", u8"[", u8"]", 2, false, u8"2"},
      {"from below 1 is 1", u8"[1][2]", u8"[", u8"]", -3, false, u8"1"},
      {"from past the end", u8"[1]", u8"[", u8"]", 10, false, u8""},
      {"exact case by default", u8"DATE: x\r\n", u8"Date:", u8"\r\n", 1, false, u8""},
      {"ignoring case", u8"DATE: x\r\n", u8"date:", u8"\r\n", 1, true, u8" x"},
      {"quote marker", u8"name=\"value\";", u8"#引号", u8"#引号", 1, false, u8"value"},
      {"quote marker inside a marker", u8"a=\"1\"", u8"=#引号", u8"#引号", 1, false, u8"1"},
      // "亅" is 0x81 0x7C: its trail byte is "|", which must not count as a marker.
      {"no match inside a character", u8"亅x|y|", u8"|", u8"|", 1, false, u8"y"},
      {"two-byte markers", u8"开始中间结束", u8"开始", u8"结束", 1, false, u8"中间"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(TextBetween(Gb(c.text), Gb(c.start), Gb(c.end), c.from, c.ignoreCase), Gb(c.expected));
  }
}

TEST(TextHelpers, TextBefore) {
  struct Case {
    std::u8string text, marker;
    int from;
    bool ignoreCase;
    std::u8string expected;
  } cases[] = {
      {u8"abc", u8"a", 1, false, u8""},
      {u8"abc", u8"x", 1, false, u8""},
      {u8"abc", u8"c", 1, false, u8"ab"},
      {u8"Set-Cookie: a=1", u8": ", 1, false, u8"Set-Cookie"},
      {u8"a-b-c", u8"-", 3, false, u8"a-b"},
      {u8"aXbxc", u8"x", 1, true, u8"a"},
      {u8"亅|z", u8"|", 1, false, u8"亅"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Gb18030ToUtf8(Gb(c.text)));
    EXPECT_EQ(TextBefore(Gb(c.text), Gb(c.marker), c.from, c.ignoreCase), Gb(c.expected));
  }
}

TEST(TextHelpers, HeaderNameAndValue) {
  struct Case {
    std::u8string line, name, value;
  } cases[] = {
      {u8"NoColon", u8"", u8""},
      {u8" A : b ", u8"A", u8"b"},
      {u8"Host: a:8080", u8"Host", u8"a:8080"},
      {u8":v", u8"", u8"v"},
      {u8"N:", u8"N", u8""},
      {u8"\u3000名\u3000:\u3000值\u3000", u8"名", u8"值"},
      {u8"X:\tkeep tab", u8"X", u8"\tkeep tab"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Gb18030ToUtf8(Gb(c.line)));
    EXPECT_EQ(HeaderName(Gb(c.line)), Gb(c.name));
    EXPECT_EQ(HeaderValue(Gb(c.line)), Gb(c.value));
  }
}

TEST(TextHelpers, Trim) {
  struct Case {
    std::u8string text, expected;
  } cases[] = {
      {u8"\tx ", u8"\tx"},
      {u8"  a b  ", u8"a b"},
      {u8"\u3000 全角 \u3000", u8"全角"},
      {u8"\r\nx\r\n", u8"\r\nx\r\n"},
      {u8"   ", u8""},
      {u8"", u8""},
  };
  for (const Case& c : cases) EXPECT_EQ(Trim(Gb(c.text)), Gb(c.expected));
  // "啊" is B0 A1: with a stray A1 behind it the last two bytes look like an
  // ideographic space, but read by characters they are not one.
  const std::string tricky = Gb(u8"啊") + "\xA1";
  EXPECT_EQ(Trim(tricky), tricky);
}

}  // namespace
}  // namespace veltrox
