#include "text_scan.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "text_encoding.h"

namespace veltrox {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// "亅" (U+4E85) is 0x81 0x7C in GBK: its trail byte is "|".
const std::string kBarTrail = Gb(u8"亅");
// "𠀀" (U+20000) is a four-byte GB18030 character: 0x95 0x32 0x82 0x36.
const std::string kFourByte = Gb(u8"𠀀");

TEST(TextEncoding, RoundTripsEveryKindOfCharacter) {
  const std::u8string samples[] = {u8"", u8"abc", u8"指定地址(本地URL)", u8"亅", u8"𠀀😀", u8"\u3000全角"};
  for (const auto& sample : samples) {
    std::string utf8(reinterpret_cast<const char*>(sample.data()), sample.size());
    EXPECT_EQ(Gb18030ToUtf8(Utf8ToGb18030(utf8)), utf8);
  }
  EXPECT_EQ(kBarTrail, "\x81\x7C");
  EXPECT_EQ(kFourByte, "\x95\x32\x82\x36");
  EXPECT_EQ(Gb(u8"\u3000"), "\xA1\xA1");
}

TEST(TextEncoding, MarksInvalidBytesInsteadOfDroppingThem) {
  EXPECT_EQ(Gb18030ToUtf8("a\xFF" "b"), "a\xEF\xBF\xBD" "b");
  EXPECT_EQ(Utf8ToGb18030("a\xC3"), "a?");
}

TEST(TextScan, FindMatchesOnlyAtCharacterStarts) {
  struct Case {
    const char* name;
    std::string text, pattern;
    std::size_t from;
    bool ignoreCase;
    std::size_t expected;
  };
  const Case cases[] = {
      {"plain", "abcabc", "bc", 0, false, 1},
      {"from", "abcabc", "bc", 2, false, 4},
      {"missing", "abc", "x", 0, false, kNotFound},
      {"empty pattern", "abc", "", 0, false, kNotFound},
      {"case kept", "aXa", "x", 0, false, kNotFound},
      {"case ignored", "aXa", "x", 0, true, 1},
      {"trail byte is not a bar", "a" + kBarTrail + "b", "|", 0, false, kNotFound},
      {"bar after double-byte", kBarTrail + "|", "|", 0, false, 2},
      {"inside four-byte", kFourByte, "\x32\x82", 0, false, kNotFound},
      {"lone lead byte at end", "a\x81", "\x81", 0, false, 1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FindText(c.text, c.pattern, c.from, c.ignoreCase), c.expected) << c.name;
  }
}

TEST(TextScan, SplitKeepsInnerEmptyPiecesButNoTrailingOne) {
  EXPECT_THAT(SplitText("", "|"), IsEmpty());
  EXPECT_THAT(SplitText("|", "|"), ElementsAre(""));
  EXPECT_THAT(SplitText("a|b|", "|"), ElementsAre("a", "b"));
  EXPECT_THAT(SplitText("a||b", "|"), ElementsAre("a", "", "b"));
  EXPECT_THAT(SplitText("|a", "|"), ElementsAre("", "a"));
  EXPECT_THAT(SplitText("A----B----C", "----"), ElementsAre("A", "B", "C"));
  EXPECT_THAT(SplitText("A--------B", "----"), ElementsAre("A", "", "B"));
  EXPECT_THAT(SplitText("x" + kBarTrail + "y|z", "|"), ElementsAre("x" + kBarTrail + "y", "z"));
  EXPECT_THAT(SplitText(kFourByte + "|" + kFourByte, "|"), ElementsAre(kFourByte, kFourByte));
}

TEST(TextScan, ReplaceNeverRescansAndHonoursCountAndStart) {
  EXPECT_EQ(ReplaceText("aXa", "x", "yy", true), "ayya");
  EXPECT_EQ(ReplaceText("aXa", "x", "yy", false), "aXa");
  EXPECT_EQ(ReplaceText("xx", "x", "yy", false, 1), "yyx");
  EXPECT_EQ(ReplaceText("xx", "x", "yy", false, 0), "xx");
  EXPECT_EQ(ReplaceText("aaa", "a", "aa"), "aaaaaa");
  EXPECT_EQ(ReplaceText("aaaa", "aa", "b"), "bb");
  EXPECT_EQ(ReplaceText("xax", "x", "-", false, std::nullopt, 1), "xa-");
  EXPECT_EQ(ReplaceText("abc", "c", "d", false, std::nullopt, 3), "abc");
  EXPECT_EQ(ReplaceText("abc", "", "d"), "abc");
  EXPECT_EQ(ReplaceText(kBarTrail + "|", "|", "/"), kBarTrail + "/");
  EXPECT_EQ(ReplaceText(kFourByte, "\x32", "!"), kFourByte);
}

}  // namespace
}  // namespace veltrox
