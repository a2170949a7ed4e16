#include "internet_time.h"

#include <gtest/gtest.h>

namespace veltrox {
namespace {

TEST(InternetTime, ReadsTheThreeHttpForms) {
  struct Case {
    const char* text;
    SystemTime expected;
  } cases[] = {
      {"Sun, 06 Nov 1994 08:49:37 GMT", {1994, 11, 0, 6, 8, 49, 37, 0}},
      {"Sunday, 06-Nov-94 08:49:37 GMT", {1994, 11, 0, 6, 8, 49, 37, 0}},
      {"Sun Nov  6 08:49:37 1994", {1994, 11, 0, 6, 8, 49, 37, 0}},
      {" Wed, 27 May 2020 01:02:03 GMT", {2020, 5, 3, 27, 1, 2, 3, 0}},
      {"\t  Tue, 31 Dec 2019 20:00:00 GMT  ", {2019, 12, 2, 31, 20, 0, 0, 0}},
      {"Fri, 28 Feb 2020 16:00:00 UTC", {2020, 2, 5, 28, 16, 0, 0, 0}},
      {"thu, 28 feb 2019 16:00:00 gmt", {2019, 2, 4, 28, 16, 0, 0, 0}},
      {"Monday, 01-Jan-01 00:00:00 GMT", {2001, 1, 1, 1, 0, 0, 0, 0}},
      {"Friday, 01-Jan-70 00:00:00 GMT", {1970, 1, 4, 1, 0, 0, 0, 0}},
      {"Sat, 31 Dec 2016 23:59:60 GMT", {2016, 12, 6, 31, 23, 59, 60, 0}},
      // The day name is not checked against the date; the day of week comes from the date.
      {"Mon, 27 May 2020 01:02:03 GMT", {2020, 5, 3, 27, 1, 2, 3, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    SystemTime t;
    ASSERT_TRUE(InternetTimeToSystemTime(c.text, &t));
    EXPECT_EQ(t, c.expected);
  }
}

TEST(InternetTime, LeavesTheRecordAloneOnTextItCannotRead) {
  const char* bad[] = {
      "",
      "   ",
      "Date: Wed, 27 May 2020 01:02:03 GMT",
      "Wed, 27 May 2020 01:02:03",        // no zone
      "Wed, 27 May 2020 01:02:03 CEST",
      "Wed, 27 Maz 2020 01:02:03 GMT",
      "Wed, 32 May 2020 01:02:03 GMT",
      "Thu, 29 Feb 2019 01:02:03 GMT",
      "Wed, 27 May 2020 24:00:00 GMT",
      "Wed, 27 May 2020 01:60:00 GMT",
      "Wed, 27 May 20 01:02:03 GMT",
      "Wed, 27 May 2020 01:02:03 GMT trailing",
      "Wed 27 May 2020 01:02:03 GMT",
      "Wed, 027 May 2020 01:02:03 GMT",
      "2020-05-27T01:02:03Z",
      "Sun Nov  6 08:49:37",
      "Xyz, 27 May 2020 01:02:03 GMT",
  };
  const SystemTime zero{};
  for (const char* text : bad) {
    SCOPED_TRACE(text);
    SystemTime t;
    EXPECT_FALSE(InternetTimeToSystemTime(text, &t));
    EXPECT_EQ(t, zero);
  }
  EXPECT_FALSE(InternetTimeToSystemTime("Sun, 06 Nov 1994 08:49:37 GMT", nullptr));
}

}  // namespace
}  // namespace veltrox
