#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace veltrox {

// A date and time to the second, held as an OLE Automation date (days from
// 30 December 1899, the time of day as the fraction; platform/ole_date.h).
struct DateTime {
  double oleDate = 0.0;
  friend bool operator==(const DateTime&, const DateTime&) = default;
};

// Nothing when a field is out of range or the year is outside 100..9999.
std::optional<DateTime> MakeDateTime(int year, int month, int day, int hour = 0, int minute = 0, int second = 0);

// Adds a span on the calendar time line, so that the pre-1899 encoding of
// OLE dates does not skew the sum.
DateTime AddSeconds(DateTime value, double seconds);

// Reads an HTTP date. The parser's verdict is not used: the fields it leaves
// in a zeroed record are clamped into range (year 100..9999, month 1..12, day
// 1..length of that month, hour 0..23, minute and second 0..59), so a text it
// cannot read gives 1 January 100 00:00:00.
DateTime ParseInternetTime(std::string_view text);

// The date part by datePicture followed directly by the time part by
// timePicture (picture syntax of platform/date_picture.h). A picture shorter
// than 3 bytes gives an empty part. force24Hour 1 shows the 24-hour clock.
// A part whose text does not fit the formatters' 50-byte buffer comes out as
// the 50 blanks the buffer was filled with. "" when the value is not a valid date.
std::string FormatDateTime(DateTime value, std::string_view datePicture, std::string_view timePicture,
                           int force24Hour);

}  // namespace veltrox
