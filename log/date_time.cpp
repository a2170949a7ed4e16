#include "date_time.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "date_picture.h"
#include "internet_time.h"
#include "ole_date.h"

namespace veltrox {
namespace {

constexpr int kBufferSize = 50;

// Like the formatter calls it stands for: the buffer starts as blanks, and its
// text runs to the terminator, or over the whole buffer when there is none.
template <typename Format>
std::string FormattedPart(std::string_view picture, Format format) {
  if (picture.size() < 3) return {};
  char buffer[kBufferSize];
  std::memset(buffer, ' ', sizeof buffer);
  format(buffer);
  return std::string(buffer, strnlen(buffer, sizeof buffer));
}

}  // namespace

std::optional<DateTime> MakeDateTime(int year, int month, int day, int hour, int minute, int second) {
  if (year < 0 || year > 0xFFFF || month < 0 || day < 0 || hour < 0 || minute < 0 || second < 0) return std::nullopt;
  SystemTime t;
  t.year = static_cast<std::uint16_t>(year);
  t.month = static_cast<std::uint16_t>(std::min(month, 0xFFFF));
  t.day = static_cast<std::uint16_t>(std::min(day, 0xFFFF));
  t.hour = static_cast<std::uint16_t>(std::min(hour, 0xFFFF));
  t.minute = static_cast<std::uint16_t>(std::min(minute, 0xFFFF));
  t.second = static_cast<std::uint16_t>(std::min(second, 0xFFFF));
  double ole = 0;
  if (!SystemTimeToVariantTime(t, &ole)) return std::nullopt;
  return DateTime{ole};
}

DateTime AddSeconds(DateTime value, double seconds) {
  return DateTime{LinearSecondsToOleDate(OleDateToLinearSeconds(value.oleDate) + seconds)};
}

DateTime ParseInternetTime(std::string_view text) {
  SystemTime record;  // all zero
  InternetTimeToSystemTime(text, &record);
  // Each field is read as a signed 16-bit value.
  int year = static_cast<std::int16_t>(record.year);
  int month = static_cast<std::int16_t>(record.month);
  int day = static_cast<std::int16_t>(record.day);
  int hour = static_cast<std::int16_t>(record.hour);
  int minute = static_cast<std::int16_t>(record.minute);
  int second = static_cast<std::int16_t>(record.second);
  year = std::clamp(year, kMinOleYear, kMaxOleYear);
  month = std::clamp(month, 1, 12);
  day = std::min(std::clamp(day, 1, 31), DaysInMonth(year, month));
  hour = std::clamp(hour, 0, 23);
  minute = std::clamp(minute, 0, 59);
  second = std::clamp(second, 0, 59);
  // Always in range after clamping.
  return MakeDateTime(year, month, day, hour, minute, second).value_or(DateTime{});
}

std::string FormatDateTime(DateTime value, std::string_view datePicture, std::string_view timePicture,
                           int force24Hour) {
  SystemTime record;
  if (!VariantTimeToSystemTime(value.oleDate, &record)) return {};
  const unsigned flags = force24Hour == 1 ? kTimeForce24HourFormat : 0;
  std::string out = FormattedPart(datePicture, [&](char* buffer) {
    GetDateFormat(record, datePicture, buffer, kBufferSize);
  });
  out += FormattedPart(timePicture, [&](char* buffer) {
    GetTimeFormat(record, flags, timePicture, buffer, kBufferSize);
  });
  return out;
}

}  // namespace veltrox
