#include "base64.h"

#include <gtest/gtest.h>

namespace veltrox {
namespace {

TEST(Base64, EncodesAndDecodesTheRfcVectors) {
  const std::pair<std::string, std::string> vectors[] = {
      {"", ""},           {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {std::string("\0\xFF", 2), "AP8="},
  };
  for (const auto& [bytes, text] : vectors) {
    EXPECT_EQ(Base64Encode(bytes), text);
    EXPECT_EQ(Base64Decode(text), bytes) << text;
  }
  std::string large(100000, '\x5A');
  EXPECT_EQ(Base64Encode(large).find('\n'), std::string::npos);
  EXPECT_EQ(Base64Decode(Base64Encode(large)), large);
}

TEST(Base64, RefusesWhatIsNotBase64) {
  for (const char* bad : {"Zg=", "Z===", "Zm9v\n", "Zm 9", "Zg==Zg==", "Zm-v", "=Zm9"}) {
    EXPECT_EQ(Base64Decode(bad), std::nullopt) << bad;
  }
}

}  // namespace
}  // namespace veltrox
