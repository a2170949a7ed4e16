#include "batch_replace.h"

#include <gtest/gtest.h>

#include "text_encoding.h"

namespace veltrox {
namespace {

TEST(BatchReplace, OnePair) {
  const std::string ni = Gb(u8"你");  // C4 E3
  const std::string hao = Gb(u8"好");  // BA C3
  struct Case {
    const char* name;
    std::string text;
    std::optional<std::int32_t> count;
    std::int32_t start;
    bool caseSensitive;
    std::string find;
    std::string replacement;
    std::string expected;
  } cases[] = {
      {"case ignored", "aXa", std::nullopt, 1, false, "x", "yy", "ayya"},
      {"case kept", "aXa", std::nullopt, 1, true, "x", "yy", "aXa"},
      {"count 1", "xx", 1, 1, false, "x", "yy", "yyx"},
      {"count 2 of 3", "xxx", 2, 0, true, "x", "-", "--x"},
      {"count above the matches", "xx", 9, 0, true, "x", "-", "--"},
      {"count 0", "xx", 0, 1, false, "x", "yy", "xx"},
      {"negative count", "xx", -1, 1, false, "x", "yy", "xx"},
      {"every occurrence", "a.b.c", std::nullopt, 0, true, ".", "::", "a::b::c"},
      {"start 0 counts as 1", "xax", std::nullopt, 0, true, "x", "y", "yay"},
      {"negative start counts as 1", "xax", std::nullopt, -5, true, "x", "y", "yay"},
      {"start inside", "xaxax", std::nullopt, 2, true, "x", "y", "xayay"},
      {"start on the last byte", "xax", std::nullopt, 3, true, "x", "y", "xay"},
      {"start just beyond the end", "xax", std::nullopt, 4, true, "x", "y", "xax"},
      {"start far beyond the end", "xax", std::nullopt, 100, true, "x", "y", "xax"},
      {"empty find", "abc", std::nullopt, 1, true, "", "z", "abc"},
      {"empty text", "", std::nullopt, 1, true, "a", "z", ""},
      {"empty replacement removes", "a-b-c", std::nullopt, 1, true, "-", "", "abc"},
      {"replaced text is not scanned again", "aa", std::nullopt, 1, true, "a", "aa", "aaaa"},
      {"matches do not overlap", "aaa", std::nullopt, 1, true, "aa", "b", "ba"},
      {"case ignored only for ASCII letters", "A" + ni + "a", std::nullopt, 1, false, "a", "b", "b" + ni + "b"},
      {"whole double-byte character", ni + hao + ni, std::nullopt, 1, true, ni, "N", "N" + hao + "N"},
      // The second byte of 你 and the first of 好 look like "\xE3\xBA": no match
      // may start in the middle of a character.
      {"no match inside a character", ni + hao, std::nullopt, 1, true, "\xE3\xBA", "!", ni + hao},
      {"ASCII trail byte is not a match", "\x81" "a" "a", std::nullopt, 1, true, "a", "b", "\x81" "ab"},
      {"lone lead byte at the end", "a\x81", std::nullopt, 1, true, "\x81", "?", "a?"},
      {"the rule's URL becomes the target", "http://127.0.0.1:3000/api/list", std::nullopt, 0, false,
       "http://127.0.0.1:3000/api/list", "https://api.example.com/v2/list", "https://api.example.com/v2/list"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(BatchReplace(c.text, c.count, c.start, c.caseSensitive, c.find, c.replacement), c.expected) << c.name;
  }
}

TEST(BatchReplace, PairsApplyInTurn) {
  struct Case {
    const char* name;
    std::string result;
    std::string expected;
  } cases[] = {
      {"each pair works on the result of the one before",
       BatchReplace("abc", std::nullopt, 1, true, "a", "b", "b", "c", "c", "d", "d", "e", "e", "f"), "fff"},
      {"pair five alone", BatchReplace("abc", std::nullopt, 1, true, "", "", "", "", "", "", "", "", "c", "!"), "ab!"},
      {"absent pairs change nothing", BatchReplace("abc", std::nullopt, 1, true, "b", "B"), "aBc"},
      {"a pair with an empty find is skipped, later ones apply",
       BatchReplace("abc", std::nullopt, 1, true, "", "z", "a", "A"), "Abc"},
      {"count applies to each pair",
       BatchReplace("aabb", 1, 1, true, "a", "x", "b", "y"), "xayb"},
      {"start applies to each pair",
       BatchReplace("abab", std::nullopt, 3, true, "a", "x", "b", "y"), "abxy"},
      {"case rule applies to each pair",
       BatchReplace("AbAB", std::nullopt, 1, false, "a", "1", "B", "2"), "1212"},
      {"a later pair sees what an earlier one wrote",
       BatchReplace("x", std::nullopt, 1, true, "x", "yz", "z", "!"), "y!"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.result, c.expected) << c.name;
}

}  // namespace
}  // namespace veltrox
