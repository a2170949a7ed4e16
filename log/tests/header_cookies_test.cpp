#include "header_cookies.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "text_encoding.h"

namespace veltrox {
namespace {

TEST(HeaderNames, Normalise) {
  struct Case {
    const char* name;
    std::u8string in, out;
  } cases[] = {
      {"two lines", u8"content-type: text/html\r\naccept-language: zh-cn", u8"Content-Type: text/html\r\nAccept-Language: zh-cn"},
      {"every word", u8"x-requested-with: a", u8"X-Requested-With: a"},
      {"empty lines and ends go", u8"\r\nhost: a\r\n\r\nx: 1\r\n", u8"Host: a\r\nX: 1"},
      {"value and spacing untouched", u8"user-agent:Mozilla", u8"User-Agent:Mozilla"},
      {"value never re-cased", u8"a: b-c d", u8"A: b-c d"},
      {"leading blank", u8" host: y", u8" host: y"},
      {"leading dash", u8"-a: 1", u8"-A: 1"},
      {"double dash", u8"a--b: 2", u8"A--B: 2"},
      {"trailing dash", u8"a-: 3", u8"A-: 3"},
      {"leading colon", u8":x: 1", u8":x: 1"},
      {"no colon at all", u8"abc\r\ndef", u8""},
      {"lines without colon dropped", u8"abc\r\nk: v\r\ndef", u8"K: v"},
      {"rest of the name kept", u8"cONTENT-tYPE: x", u8"CONTENT-TYPE: x"},
      {"two-byte start", u8"中-a: 1", u8"中-A: 1"},
      {"empty", u8"", u8""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(NormaliseHeaderNames(Gb(c.in)), Gb(c.out));
  }
  EXPECT_EQ(CapitaliseFirst("abc"), "Abc");
  EXPECT_EQ(CapitaliseFirst("1bc"), "1bc");
  EXPECT_EQ(CapitaliseFirst(""), "");
}

TEST(Cookies, MergeTable) {
  struct Case {
    std::u8string sent, received, result;
  } cases[] = {
      {u8"a=1; b=2; c=3", u8"b=9; c=deleted; d=4", u8"b=9; d=4; a=1"},
      {u8"", u8"x=1", u8"x=1"},
      {u8"x=1", u8"", u8"x=1"},
      {u8"", u8"", u8""},
      {u8"a=1; a=2", u8"b=1", u8"b=1; a=1"},
      {u8"b=1", u8"a=1; a=2; a=1", u8"a=1; a=2; b=1"},
      {u8"a=hello world", u8"", u8"a=helloworld"},
      {u8"a=1", u8"A=2", u8"A=2; a=1"},
      {u8"a", u8"a=2", u8"a=2"},
      {u8"a=1;;b=2", u8"c=3", u8"c=3; a=1; ; b=2"},
      {u8"a=1;b=2", u8"a=deleted;b=deleted", u8""},
      {u8"a=1", u8"a=", u8"a="},
      {u8"k=全\u3000角", u8"", u8"k=全角"},
      {u8"=deleted; x=1", u8"", u8"x=1"},
  };
  for (const Case& c : cases) {
    std::string sent = Gb(c.sent);
    std::string received = Gb(c.received);
    SCOPED_TRACE(Gb18030ToUtf8(sent) + " | " + Gb18030ToUtf8(received));
    const std::string result = MergeCookies(sent, received);
    EXPECT_EQ(result, Gb(c.result));
    EXPECT_EQ(sent, result);
    EXPECT_EQ(received, RemoveAllSpaces(Gb(c.received)));
  }
}

TEST(Cookies, ItemHelpers) {
  EXPECT_EQ(CookieName(" a =1"), "a");
  EXPECT_EQ(CookieName("bare"), "bare");
  EXPECT_EQ(CookieName("=v"), "");
  const std::vector<std::string> items = {"a=1", "B", "c=3", "a=1"};
  EXPECT_TRUE(HasCookie(items, "B"));
  EXPECT_FALSE(HasCookie(items, "b"));
  EXPECT_EQ(FindItem(items, "a=1"), 1);
  EXPECT_EQ(FindItem(items, "c=3"), 3);
  EXPECT_EQ(FindItem(items, "c"), -1);
  EXPECT_EQ(UniqueItems("a; b; a; ; ; c", "; "), "a; b; ; c");
  EXPECT_EQ(UniqueItems("", "; "), "");
  EXPECT_EQ(RemoveAllSpaces(Gb(u8" a b\u3000c\t")), "abc\t");
}

}  // namespace
}  // namespace veltrox
