#include "ole_date.h"

#include <cmath>

namespace veltrox {
namespace {

constexpr double kSecondsPerDay = 86400.0;

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's algorithm).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, int& year, int& month, int& day) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(static_cast<std::int64_t>(yoe) + era * 400 + (month <= 2));
}

const std::int64_t kOleEpochDays = DaysFromCivil(1899, 12, 30);

}  // namespace

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

int DayOfWeek(int year, int month, int day) {
  const std::int64_t days = DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
  // 1970-01-01 was a Thursday.
  return static_cast<int>(((days % 7) + 7 + 4) % 7);
}

double OleDateToLinearSeconds(double oleDate) {
  // Below zero the whole days count backwards but the fraction adds forwards.
  const double whole = std::trunc(oleDate);
  const double fraction = std::fabs(oleDate - whole);
  return (whole + fraction) * kSecondsPerDay;
}

double LinearSecondsToOleDate(double seconds) {
  const double days = seconds / kSecondsPerDay;
  if (days >= 0) return days;
  const double whole = std::floor(days);
  return whole - (days - whole);
}

bool VariantTimeToSystemTime(double oleDate, SystemTime* out) {
  if (out == nullptr || std::isnan(oleDate)) return false;
  // Far outside the valid years; keeps the integer arithmetic below in range.
  if (std::fabs(oleDate) > 3.0e6) return false;
  const double linear = std::round(OleDateToLinearSeconds(oleDate));
  const auto total = static_cast<std::int64_t>(linear);
  std::int64_t dayIndex = total / 86400;
  std::int64_t secondOfDay = total % 86400;
  if (secondOfDay < 0) {
    secondOfDay += 86400;
    --dayIndex;
  }
  int year = 0, month = 0, day = 0;
  CivilFromDays(kOleEpochDays + dayIndex, year, month, day);
  // Also catches a rounding carry past the last representable second.
  if (year < kMinOleYear || year > kMaxOleYear) return false;
  SystemTime t;
  t.year = static_cast<std::uint16_t>(year);
  t.month = static_cast<std::uint16_t>(month);
  t.day = static_cast<std::uint16_t>(day);
  t.dayOfWeek = static_cast<std::uint16_t>(DayOfWeek(year, month, day));
  t.hour = static_cast<std::uint16_t>(secondOfDay / 3600);
  t.minute = static_cast<std::uint16_t>(secondOfDay / 60 % 60);
  t.second = static_cast<std::uint16_t>(secondOfDay % 60);
  *out = t;
  return true;
}

bool SystemTimeToVariantTime(const SystemTime& time, double* out) {
  if (out == nullptr) return false;
  if (time.year < kMinOleYear || time.year > kMaxOleYear) return false;
  if (time.day < 1 || time.day > DaysInMonth(time.year, time.month)) return false;
  if (time.hour > 23 || time.minute > 59 || time.second > 59) return false;
  const std::int64_t days = DaysFromCivil(time.year, time.month, time.day) - kOleEpochDays;
  const double seconds = static_cast<double>(days) * kSecondsPerDay + time.hour * 3600.0 + time.minute * 60.0 + time.second;
  *out = LinearSecondsToOleDate(seconds);
  return true;
}

}  // namespace veltrox
