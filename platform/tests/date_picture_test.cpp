#include "date_picture.h"

#include <gtest/gtest.h>

#include <cstring>

#include "text_encoding.h"

namespace veltrox {
namespace {

const SystemTime kMorning{2020, 5, 3, 7, 9, 2, 3, 0};    // Thursday 7 May 2020 09:02:03
const SystemTime kEvening{2008, 12, 0, 25, 17, 30, 0, 0};  // Thursday 25 December 2008 17:30:00
const SystemTime kMidnight{100, 1, 0, 1, 0, 0, 5, 0};

TEST(DatePicture, DatePictures) {
  struct Case {
    SystemTime time;
    std::u8string picture, expected;
  } cases[] = {
      {kMorning, u8"yyyy/M/d", u8"2020/5/7"},
      {kMorning, u8"yyyy-MM-dd", u8"2020-05-07"},
      {kMorning, u8"yy", u8"20"},
      {kMorning, u8"y", u8"20"},
      {SystemTime{2005, 1, 0, 1}, u8"y yy", u8"5 05"},
      {kMidnight, u8"yyyy", u8"0100"},
      {kMidnight, u8"yyyyy", u8"0100"},
      {kMorning, u8"ddd dddd", u8"周四 星期四"},
      {kMorning, u8"ddddd", u8"星期四"},
      {kMorning, u8"MMM MMMM", u8"5月 五月"},
      {kEvening, u8"MMMM", u8"十二月"},
      {kMorning, u8"d'日' 'of' M", u8"7日 of 5"},
      {kMorning, u8"'d''s' d", u8"d's 7"},
      {kMorning, u8"''d", u8"'7"},
      {kMorning, u8"'unterminated d", u8"unterminated d"},
      {kMorning, u8"hh:mm tt", u8"hh:mm tt"},  // time letters are the other formatter's
      {kMorning, u8"", u8""},
  };
  for (const Case& c : cases) {
    const std::string picture = Gb(c.picture);
    SCOPED_TRACE(Gb18030ToUtf8(picture));
    EXPECT_EQ(FormatDatePicture(c.time, picture), Gb(c.expected));
  }
}

TEST(DatePicture, TimePictures) {
  struct Case {
    SystemTime time;
    unsigned flags;
    std::u8string picture, expected;
  } cases[] = {
      {kMorning, 0, u8" hh:mm:ss", u8" 09:02:03"},
      {kMorning, 0, u8"h:m:s", u8"9:2:3"},
      {kEvening, 0, u8"hh:mm", u8"05:30"},
      {kEvening, kTimeForce24HourFormat, u8"hh:mm", u8"17:30"},
      {kEvening, kTimeForce24HourFormat, u8"h", u8"17"},
      {kEvening, 0, u8"HH H", u8"17 17"},
      {kMidnight, 0, u8"hh H", u8"12 0"},
      {kMidnight, kTimeForce24HourFormat, u8"hh", u8"00"},
      {kEvening, 0, u8"tt t", u8"下午 下"},
      {kMorning, 0, u8"tt", u8"上午"},
      {kMorning, 0, u8"hhh:mmm:sss", u8"09:02:03"},
      {kMorning, 0, u8"'hh' hh yyyy", u8"hh 09 yyyy"},
  };
  for (const Case& c : cases) {
    const std::string picture = Gb(c.picture);
    SCOPED_TRACE(Gb18030ToUtf8(picture));
    EXPECT_EQ(FormatTimePicture(c.time, c.flags, picture), Gb(c.expected));
  }
}

TEST(DatePicture, InvalidRecordsAreRefused) {
  EXPECT_FALSE(FormatDatePicture(SystemTime{2019, 2, 0, 29}, "d"));
  EXPECT_FALSE(FormatDatePicture(SystemTime{99, 1, 0, 1}, "d"));
  EXPECT_FALSE(FormatDatePicture(SystemTime{2019, 13, 0, 1}, "d"));
  EXPECT_FALSE(FormatTimePicture(SystemTime{2019, 1, 0, 1, 24}, 0, "h"));
  EXPECT_FALSE(FormatTimePicture(SystemTime{2019, 1, 0, 1, 1, 60}, 0, "h"));
}

TEST(DatePicture, BufferContract) {
  char buffer[8];
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(GetDateFormat(kMorning, "yyyy/M/d", buffer, 0), 9);  // size query writes nothing
  EXPECT_EQ(buffer[0], 'x');
  EXPECT_EQ(GetDateFormat(kMorning, "yyyy/M/d", buffer, sizeof buffer), 0);  // too small: nothing written
  EXPECT_EQ(std::string(buffer, sizeof buffer), "xxxxxxxx");
  EXPECT_EQ(GetDateFormat(kMorning, "M/d", buffer, sizeof buffer), 4);
  EXPECT_STREQ(buffer, "5/7");
  EXPECT_EQ(GetTimeFormat(kMorning, 0, "hh:mm", buffer, 6), 6);
  EXPECT_STREQ(buffer, "09:02");
  EXPECT_EQ(GetTimeFormat(SystemTime{2019, 1, 0, 1, 24}, 0, "hh", buffer, sizeof buffer), 0);
}

}  // namespace
}  // namespace veltrox
