#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "ole_date.h"

// Date and time pictures in the syntax of the Windows date and time
// formatters, for the one locale the tool speaks (Chinese, GB18030 names).
//
// Date pictures: d, dd (day), ddd, dddd (abbreviated and full day name),
// M, MM (month), MMM, MMMM (abbreviated and full month name), y (year of the
// century without a leading zero), yy (two digits), yyyy (full year, at least
// four digits). Time pictures: h, hh (12-hour clock), H, HH (24-hour clock),
// m, mm, s, ss, t (first character of the AM/PM marker), tt (whole marker).
// Longer runs of a letter act as the longest form. Text between single quotes
// is copied as it is, and '' stands for one quote; every other character,
// including the other formatter's letters, is copied unchanged.

namespace veltrox {

// Shows h and hh on the 24-hour clock.
inline constexpr unsigned kTimeForce24HourFormat = 8;

// Writes the formatted text and a terminating zero into `buffer` and returns
// the number of bytes written, terminator included. With `size` 0 nothing is
// written and the size needed is returned. Returns 0, writing nothing, when
// the record is not a valid date (or time), or the text and its terminator do
// not fit into `size` bytes.
int GetDateFormat(const SystemTime& time, std::string_view picture, char* buffer, int size);
int GetTimeFormat(const SystemTime& time, unsigned flags, std::string_view picture, char* buffer, int size);

// The same without a buffer; nothing for an invalid record.
std::optional<std::string> FormatDatePicture(const SystemTime& time, std::string_view picture);
std::optional<std::string> FormatTimePicture(const SystemTime& time, unsigned flags, std::string_view picture);

}  // namespace veltrox
