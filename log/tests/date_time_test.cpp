#include "date_time.h"

#include <gtest/gtest.h>

namespace veltrox {
namespace {

std::string Stamp(DateTime value) { return FormatDateTime(value, "yyyy/M/d", " hh:mm:ss", 1); }

TEST(DateTime, ParseClampsAndFormats) {
  struct Case {
    const char* text;
    const char* stamp;
  } cases[] = {
      {" Wed, 27 May 2020 01:02:03 GMT", "2020/5/27 01:02:03"},
      {"Sunday, 06-Nov-94 08:49:37 GMT", "1994/11/6 08:49:37"},
      {"Sun Nov  6 08:49:37 1994", "1994/11/6 08:49:37"},
      {"Sat, 31 Dec 2016 23:59:60 GMT", "2016/12/31 23:59:59"},  // the leap second is clamped
      // Unreadable text leaves the zeroed record, which clamps to 1 January 100.
      {"", "0100/1/1 00:00:00"},
      {"garbage", "0100/1/1 00:00:00"},
      {" 27 May 2020", "0100/1/1 00:00:00"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(Stamp(ParseInternetTime(c.text)), c.stamp);
  }
}

TEST(DateTime, EightHoursCarryIntoDayMonthAndYear) {
  struct Case {
    const char* date;
    const char* stamp;
  } cases[] = {
      {"Wed, 27 May 2020 01:02:03 GMT", "2020/5/27 09:02:03"},
      {"Tue, 31 Dec 2019 20:00:00 GMT", "2020/1/1 04:00:00"},
      {"Thu, 28 Feb 2019 16:00:00 GMT", "2019/3/1 00:00:00"},
      {"Fri, 28 Feb 2020 16:00:00 GMT", "2020/2/29 00:00:00"},
      {"Fri, 29 Dec 1899 20:00:00 GMT", "1899/12/30 04:00:00"},  // across the OLE epoch
      {"Thu, 28 Dec 1899 20:00:00 GMT", "1899/12/29 04:00:00"},
      {"Mon, 01 Jan 1900 05:30:00 GMT", "1900/1/1 13:30:00"},
      {"", "0100/1/1 08:00:00"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.date);
    EXPECT_EQ(Stamp(AddSeconds(ParseInternetTime(c.date), 8 * 3600)), c.stamp);
  }
}

TEST(DateTime, FormatPictures) {
  const DateTime value = *MakeDateTime(2020, 5, 27, 17, 2, 3);
  struct Case {
    std::string date;
    std::string time;
    int force24;
    std::string expected;
  } cases[] = {
      {"yyyy/M/d", " hh:mm:ss", 1, "2020/5/27 17:02:03"},
      {"yyyy/M/d", " hh:mm:ss", 0, "2020/5/27 05:02:03"},
      {"yyyy/M/d", " hh:mm:ss", 2, "2020/5/27 05:02:03"},  // only 1 switches the 24-hour clock on
      {"dd", " hh:mm:ss", 1, " 17:02:03"},                   // a date picture of 2 bytes is skipped
      {"", "HH:mm", 1, "17:02"},
      {"yyyy/M/d", "ss", 1, "2020/5/27"},
      {"d", "s", 1, ""},
      {"ddd", "", 1, "\xD6\xDC\xC8\xFD"},  // 周三
      // Too long for the 50-byte buffer: the part stays the 50 blanks it was filled with.
      {"yyyy'..............................................'", "", 1, std::string(50, ' ')},
      {"'" + std::string(47, 'x') + "'d", "", 1, std::string(47, 'x') + "27"},  // 49 bytes fit
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.date + "|" + c.time);
    EXPECT_EQ(FormatDateTime(value, c.date, c.time, c.force24), c.expected);
  }
  // A value that is no date gives the empty text.
  EXPECT_EQ(FormatDateTime(DateTime{1e9}, "yyyy/M/d", " hh:mm:ss", 1), "");
  EXPECT_EQ(FormatDateTime(AddSeconds(*MakeDateTime(9999, 12, 31, 20), 8 * 3600), "yyyy/M/d", " hh:mm:ss", 1), "");
}

TEST(DateTime, MakeDateTimeChecksItsFields) {
  EXPECT_TRUE(MakeDateTime(100, 1, 1));
  EXPECT_TRUE(MakeDateTime(9999, 12, 31, 23, 59, 59));
  EXPECT_FALSE(MakeDateTime(99, 12, 31));
  EXPECT_FALSE(MakeDateTime(2019, 2, 29));
  EXPECT_FALSE(MakeDateTime(2020, 1, 1, 24));
  EXPECT_FALSE(MakeDateTime(2020, -1, 1));
  EXPECT_EQ(MakeDateTime(1899, 12, 30, 12)->oleDate, 0.5);
}

}  // namespace
}  // namespace veltrox
