#pragma once

#include <cstdint>

// OLE Automation dates and the SYSTEMTIME-like field record that the date
// services exchange. An OLE date counts days from 30 December 1899 00:00:00
// with the time of day as the fraction; before that day the whole part counts
// backwards while the fraction still adds the time of day, so -1.25 is
// 29 December 1899 06:00:00. Valid years run from 100 to 9999.

namespace veltrox {

// Eight 16-bit fields in this order, like the Windows record.
struct SystemTime {
  std::uint16_t year = 0;
  std::uint16_t month = 0;
  std::uint16_t dayOfWeek = 0;  // 0 = Sunday
  std::uint16_t day = 0;
  std::uint16_t hour = 0;
  std::uint16_t minute = 0;
  std::uint16_t second = 0;
  std::uint16_t milliseconds = 0;

  friend bool operator==(const SystemTime&, const SystemTime&) = default;
};

inline constexpr int kMinOleYear = 100;
inline constexpr int kMaxOleYear = 9999;

bool IsLeapYear(int year);
// 0 for a month outside 1..12.
int DaysInMonth(int year, int month);
// 0 = Sunday; for any proleptic Gregorian date.
int DayOfWeek(int year, int month, int day);

// Fills `out` from an OLE date, rounded to the nearest second, with the day of
// week set and milliseconds 0. Returns false, leaving `out` alone, for NaN, a
// value outside 1 January 100 .. 31 December 9999 23:59:59, or a null `out`.
bool VariantTimeToSystemTime(double oleDate, SystemTime* out);

// The OLE date of the record's date and time (day of week and milliseconds are
// not read). Returns false, leaving `out` alone, when a field is out of range.
bool SystemTimeToVariantTime(const SystemTime& time, double* out);

// Seconds since 30 December 1899 00:00:00 on the real time line, and back.
// Adding a span is done here, where the pre-1899 encoding does not get in the way.
double OleDateToLinearSeconds(double oleDate);
double LinearSecondsToOleDate(double seconds);

}  // namespace veltrox
