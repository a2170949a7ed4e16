#include "port_text.h"

#include <gtest/gtest.h>

#include "text_encoding.h"

namespace veltrox {
namespace {

TEST(PortFromText, ReadsTheLeadingNumberOfWhatWasTyped) {
  struct Case {
    const char8_t* text;
    std::int32_t port;
  };
  const Case cases[] = {
      {u8"7788", 7788},        {u8"８０８０", 8080},    {u8"80abc", 80},         {u8"", 0},
      {u8"abc", 0},            {u8"  \t 99", 99},      {u8"\u3000８１", 81},    {u8"＋12", 12},
      {u8"－12", -12},         {u8"-5", -5},           {u8"+", 0},              {u8"73324", 73324},
      {u8"12 34", 12},         {u8"０x10", 0},         {u8"99999999999", 2147483647},
      {u8"-99999999999", -2147483647 - 1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(PortFromText(Gb(c.text)), c.port) << reinterpret_cast<const char*>(c.text);
  }
}

}  // namespace
}  // namespace veltrox
