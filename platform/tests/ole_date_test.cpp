#include "ole_date.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace veltrox {
namespace {

SystemTime Fields(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
  SystemTime t;
  t.year = static_cast<std::uint16_t>(y);
  t.month = static_cast<std::uint16_t>(mo);
  t.day = static_cast<std::uint16_t>(d);
  t.hour = static_cast<std::uint16_t>(h);
  t.minute = static_cast<std::uint16_t>(mi);
  t.second = static_cast<std::uint16_t>(s);
  return t;
}

TEST(OleDate, KnownValuesBothWays) {
  struct Case {
    const char* name;
    SystemTime fields;
    double ole;
    int dayOfWeek;
  } cases[] = {
      {"epoch", Fields(1899, 12, 30), 0.0, 6},
      {"noon after epoch", Fields(1899, 12, 30, 12), 0.5, 6},
      {"first of 1900", Fields(1900, 1, 1), 2.0, 1},
      {"day before epoch at 06:00 keeps a forward fraction", Fields(1899, 12, 29, 6), -1.25, 5},
      {"two days before at 18:00", Fields(1899, 12, 28, 18), -2.75, 4},
      {"2020-05-27 09:02:03", Fields(2020, 5, 27, 9, 2, 3), 43978.0 + (9 * 3600 + 2 * 60 + 3) / 86400.0, 3},
      {"leap day 2000", Fields(2000, 2, 29), 36585.0, 2},
      {"earliest", Fields(100, 1, 1), -657434.0, 5},
      {"earliest at noon", Fields(100, 1, 1, 12), -657434.5, 5},
      {"latest", Fields(9999, 12, 31, 23, 59, 59), 2958465.0 + 86399.0 / 86400.0, 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    double ole = 99;
    ASSERT_TRUE(SystemTimeToVariantTime(c.fields, &ole));
    EXPECT_NEAR(ole, c.ole, 1e-9);
    SystemTime back;
    ASSERT_TRUE(VariantTimeToSystemTime(c.ole, &back));
    SystemTime expected = c.fields;
    expected.dayOfWeek = static_cast<std::uint16_t>(c.dayOfWeek);
    EXPECT_EQ(back, expected);
  }
}

TEST(OleDate, RejectsOutOfRangeAndLeavesTheRecord) {
  const SystemTime sentinel = Fields(1, 2, 3, 4, 5, 6);
  for (double bad : {-657435.0, 2958466.0, std::numeric_limits<double>::quiet_NaN(),
                     std::numeric_limits<double>::infinity(), 1e300,
                     // rounds up past 31 December 9999 23:59:59
                     2958465.0 + 86399.9 / 86400.0}) {
    SystemTime t = sentinel;
    EXPECT_FALSE(VariantTimeToSystemTime(bad, &t)) << bad;
    EXPECT_EQ(t, sentinel);
  }
  const SystemTime badFields[] = {Fields(99, 12, 31), Fields(10000, 1, 1), Fields(2019, 2, 29), Fields(2020, 13, 1),
                                  Fields(2020, 0, 1), Fields(2020, 1, 0), Fields(2020, 1, 1, 24),
                                  Fields(2020, 1, 1, 0, 60), Fields(2020, 1, 1, 0, 0, 60)};
  for (const SystemTime& f : badFields) {
    double ole = 42;
    EXPECT_FALSE(SystemTimeToVariantTime(f, &ole));
    EXPECT_EQ(ole, 42);
  }
}

TEST(OleDate, RoundsToTheNearestSecondWithCarry) {
  SystemTime t;
  ASSERT_TRUE(VariantTimeToSystemTime(1.0 - 0.4 / 86400.0, &t));  // 30 Dec 1899 23:59:59.6
  EXPECT_EQ(t, (SystemTime{1899, 12, 0, 31, 0, 0, 0, 0}));
}

TEST(OleDate, SpansAddOnTheRealTimeLine) {
  // 29 December 1899 20:00 plus 8 hours is 30 December 04:00, although the
  // stored numbers are -1.8333 and 0.1667.
  const double start = -1.0 - 20.0 / 24.0;
  const double sum = LinearSecondsToOleDate(OleDateToLinearSeconds(start) + 8 * 3600);
  EXPECT_NEAR(sum, 4.0 / 24.0, 1e-9);
  // And backwards across the epoch: 30 December 02:00 minus 4 hours is 29 December 22:00.
  const double back = LinearSecondsToOleDate(OleDateToLinearSeconds(2.0 / 24.0) - 4 * 3600);
  EXPECT_NEAR(back, -1.0 - 22.0 / 24.0, 1e-9);
  for (double v : {-657434.5, -1.25, -0.0, 0.75, 43978.376423}) {
    EXPECT_NEAR(LinearSecondsToOleDate(OleDateToLinearSeconds(v)), v == -0.0 ? 0.0 : v, 1e-9) << v;
  }
}

TEST(OleDate, CalendarHelpers) {
  EXPECT_TRUE(IsLeapYear(2000));
  EXPECT_FALSE(IsLeapYear(1900));
  EXPECT_TRUE(IsLeapYear(2020));
  EXPECT_FALSE(IsLeapYear(2019));
  EXPECT_EQ(DaysInMonth(2019, 2), 28);
  EXPECT_EQ(DaysInMonth(2020, 2), 29);
  EXPECT_EQ(DaysInMonth(2020, 4), 30);
  EXPECT_EQ(DaysInMonth(2020, 13), 0);
  EXPECT_EQ(DayOfWeek(2020, 5, 27), 3);
  EXPECT_EQ(DayOfWeek(100, 1, 1), 5);
}

}  // namespace
}  // namespace veltrox
