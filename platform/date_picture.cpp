#include "date_picture.h"

#include <cstring>
#include <functional>

#include "text_encoding.h"
#include "text_scan.h"

namespace veltrox {
namespace {

struct LocaleNames {
  std::string dayAbbrev[7];
  std::string dayFull[7];
  std::string monthAbbrev[12];
  std::string monthFull[12];
  std::string am;
  std::string pm;
};

const LocaleNames& Names() {
  static const LocaleNames names = [] {
    LocaleNames n;
    const char8_t* days[] = {u8"日", u8"一", u8"二", u8"三", u8"四", u8"五", u8"六"};
    for (int i = 0; i < 7; ++i) {
      n.dayAbbrev[i] = Gb(u8"周") + Gb(days[i]);
      n.dayFull[i] = Gb(u8"星期") + Gb(days[i]);
    }
    const char8_t* months[] = {u8"一月", u8"二月", u8"三月", u8"四月", u8"五月", u8"六月",
                               u8"七月", u8"八月", u8"九月", u8"十月", u8"十一月", u8"十二月"};
    for (int i = 0; i < 12; ++i) {
      n.monthAbbrev[i] = std::to_string(i + 1) + Gb(u8"月");
      n.monthFull[i] = Gb(months[i]);
    }
    n.am = Gb(u8"上午");
    n.pm = Gb(u8"下午");
    return n;
  }();
  return names;
}

std::string Padded(int value, int width) {
  std::string digits = std::to_string(value);
  if (static_cast<int>(digits.size()) < width) digits.insert(0, width - digits.size(), '0');
  return digits;
}

bool IsValidDate(const SystemTime& t) {
  return t.year >= kMinOleYear && t.year <= kMaxOleYear && t.day >= 1 && t.day <= DaysInMonth(t.year, t.month);
}

bool IsValidTime(const SystemTime& t) { return t.hour <= 23 && t.minute <= 59 && t.second <= 59; }

// Walks the picture: quoted text and unknown characters are copied, and each
// run of one letter is handed to `field`, which appends its text and returns
// true when the letter is one of its own.
std::string Expand(std::string_view picture, const std::function<bool(char, int, std::string&)>& field) {
  std::string out;
  std::size_t i = 0;
  while (i < picture.size()) {
    const char c = picture[i];
    if (c == '\'' && i + 1 < picture.size() && picture[i + 1] == '\'') {
      out += '\'';
      i += 2;
      continue;
    }
    if (c == '\'') {
      ++i;
      while (i < picture.size()) {
        if (picture[i] == '\'') {
          if (i + 1 < picture.size() && picture[i + 1] == '\'') {
            out += '\'';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        const std::size_t n = UnitLength(picture, i);
        out.append(picture.substr(i, n));
        i += n;
      }
      continue;
    }
    if (IsLeadByte(c)) {
      const std::size_t n = UnitLength(picture, i);
      out.append(picture.substr(i, n));
      i += n;
      continue;
    }
    std::size_t run = 1;
    while (i + run < picture.size() && picture[i + run] == c) ++run;
    if (field(c, static_cast<int>(run), out)) {
      i += run;
    } else {
      out += c;
      ++i;
    }
  }
  return out;
}

std::string DateText(const SystemTime& t, std::string_view picture) {
  const LocaleNames& names = Names();
  const int dow = DayOfWeek(t.year, t.month, t.day);
  return Expand(picture, [&](char c, int run, std::string& out) {
    switch (c) {
      case 'd':
        out += run == 1 ? std::to_string(t.day) : run == 2 ? Padded(t.day, 2) : run == 3 ? names.dayAbbrev[dow] : names.dayFull[dow];
        return true;
      case 'M':
        out += run == 1   ? std::to_string(t.month)
               : run == 2 ? Padded(t.month, 2)
               : run == 3 ? names.monthAbbrev[t.month - 1]
                          : names.monthFull[t.month - 1];
        return true;
      case 'y':
        out += run == 1 ? std::to_string(t.year % 100) : run == 2 ? Padded(t.year % 100, 2) : Padded(t.year, 4);
        return true;
      default:
        return false;
    }
  });
}

std::string TimeText(const SystemTime& t, unsigned flags, std::string_view picture) {
  const LocaleNames& names = Names();
  const bool force24 = (flags & kTimeForce24HourFormat) != 0;
  const std::string& marker = t.hour < 12 ? names.am : names.pm;
  const int hour12 = t.hour % 12 == 0 ? 12 : t.hour % 12;
  return Expand(picture, [&](char c, int run, std::string& out) {
    auto number = [&](int value) { out += run == 1 ? std::to_string(value) : Padded(value, 2); };
    switch (c) {
      case 'h':
        number(force24 ? t.hour : hour12);
        return true;
      case 'H':
        number(t.hour);
        return true;
      case 'm':
        number(t.minute);
        return true;
      case 's':
        number(t.second);
        return true;
      case 't':
        out += run == 1 ? marker.substr(0, UnitLength(marker, 0)) : marker;
        return true;
      default:
        return false;
    }
  });
}

int Deliver(const std::string& text, char* buffer, int size) {
  const int needed = static_cast<int>(text.size()) + 1;
  if (size == 0) return needed;
  if (buffer == nullptr || size < needed) return 0;
  std::memcpy(buffer, text.data(), text.size());
  buffer[text.size()] = '\0';
  return needed;
}

}  // namespace

std::optional<std::string> FormatDatePicture(const SystemTime& time, std::string_view picture) {
  if (!IsValidDate(time)) return std::nullopt;
  return DateText(time, picture);
}

std::optional<std::string> FormatTimePicture(const SystemTime& time, unsigned flags, std::string_view picture) {
  if (!IsValidTime(time)) return std::nullopt;
  return TimeText(time, flags, picture);
}

int GetDateFormat(const SystemTime& time, std::string_view picture, char* buffer, int size) {
  if (size < 0) return 0;
  std::optional<std::string> text = FormatDatePicture(time, picture);
  return text ? Deliver(*text, buffer, size) : 0;
}

int GetTimeFormat(const SystemTime& time, unsigned flags, std::string_view picture, char* buffer, int size) {
  if (size < 0) return 0;
  std::optional<std::string> text = FormatTimePicture(time, flags, picture);
  return text ? Deliver(*text, buffer, size) : 0;
}

}  // namespace veltrox
