#include "internet_time.h"

#include <array>

#include "text_scan.h"

namespace veltrox {
namespace {

constexpr std::array<std::string_view, 7> kDayAbbrev = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr std::array<std::string_view, 7> kDayFull = {"Sunday", "Monday", "Tuesday", "Wednesday",
                                                      "Thursday", "Friday", "Saturday"};
constexpr std::array<std::string_view, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// A cursor over the date text; every reader consumes only on success.
class Cursor {
 public:
  explicit Cursor(std::string_view text) : text_(text) {}

  bool AtEnd() const { return pos_ == text_.size(); }
  void SkipBlanks() {
    while (pos_ < text_.size() && IsBlank(text_[pos_])) ++pos_;
  }
  bool Blanks() {
    const std::size_t start = pos_;
    SkipBlanks();
    return pos_ > start;
  }
  bool Char(char c) {
    if (pos_ < text_.size() && text_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }
  std::string_view Word() {
    const std::size_t start = pos_;
    while (pos_ < text_.size() && IsAlpha(text_[pos_])) ++pos_;
    return text_.substr(start, pos_ - start);
  }
  // Between `minDigits` and `maxDigits` digits.
  bool Number(int minDigits, int maxDigits, int& value) {
    std::size_t n = 0;
    int v = 0;
    while (pos_ + n < text_.size() && IsDigit(text_[pos_ + n]) && static_cast<int>(n) < maxDigits) {
      v = v * 10 + (text_[pos_ + n] - '0');
      ++n;
    }
    if (static_cast<int>(n) < minDigits || (pos_ + n < text_.size() && IsDigit(text_[pos_ + n]))) return false;
    pos_ += n;
    value = v;
    return true;
  }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
};

template <std::size_t N>
int IndexOf(const std::array<std::string_view, N>& names, std::string_view word) {
  for (std::size_t i = 0; i < N; ++i) {
    if (EqualsText(names[i], word, true)) return static_cast<int>(i);
  }
  return -1;
}

bool IsDayName(std::string_view word) { return IndexOf(kDayAbbrev, word) >= 0 || IndexOf(kDayFull, word) >= 0; }

bool Clock(Cursor& c, int& hour, int& minute, int& second) {
  return c.Number(1, 2, hour) && c.Char(':') && c.Number(1, 2, minute) && c.Char(':') && c.Number(1, 2, second);
}

bool Zone(Cursor& c) {
  std::string_view zone = c.Word();
  return EqualsText(zone, "GMT", true) || EqualsText(zone, "UTC", true) || EqualsText(zone, "UT", true);
}

struct Fields {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

// "Sun, 06 Nov 1994 08:49:37 GMT" or "Sunday, 06-Nov-94 08:49:37 GMT", after the comma.
bool AfterComma(Cursor& c, Fields& f) {
  if (!c.Blanks() || !c.Number(1, 2, f.day)) return false;
  const bool dashed = c.Char('-');
  if (!dashed && !c.Blanks()) return false;
  f.month = IndexOf(kMonths, c.Word()) + 1;
  if (f.month == 0) return false;
  if (dashed) {
    if (!c.Char('-')) return false;
    int year = 0;
    if (c.Number(4, 4, year)) {
      f.year = year;
    } else if (c.Number(2, 2, year)) {
      f.year = year < 70 ? 2000 + year : 1900 + year;
    } else {
      return false;
    }
  } else if (!c.Blanks() || !c.Number(4, 4, f.year)) {
    return false;
  }
  return c.Blanks() && Clock(c, f.hour, f.minute, f.second) && c.Blanks() && Zone(c);
}

// "Sun Nov  6 08:49:37 1994", after the day name.
bool AscTime(Cursor& c, Fields& f) {
  if (!c.Blanks()) return false;
  f.month = IndexOf(kMonths, c.Word()) + 1;
  return f.month != 0 && c.Blanks() && c.Number(1, 2, f.day) && c.Blanks() &&
         Clock(c, f.hour, f.minute, f.second) && c.Blanks() && c.Number(4, 4, f.year);
}

}  // namespace

bool InternetTimeToSystemTime(std::string_view text, SystemTime* out) {
  if (out == nullptr) return false;
  Cursor c(text);
  c.SkipBlanks();
  if (!IsDayName(c.Word())) return false;
  Fields f;
  const bool read = c.Char(',') ? AfterComma(c, f) : AscTime(c, f);
  c.SkipBlanks();
  if (!read || !c.AtEnd()) return false;
  // A leap second is kept as 60; the record's readers decide what it means.
  if (f.year < 1 || f.day > DaysInMonth(f.year, f.month) || f.day < 1 || f.hour > 23 || f.minute > 59 ||
      f.second > 60) {
    return false;
  }
  SystemTime t;
  t.year = static_cast<std::uint16_t>(f.year);
  t.month = static_cast<std::uint16_t>(f.month);
  t.day = static_cast<std::uint16_t>(f.day);
  t.dayOfWeek = static_cast<std::uint16_t>(DayOfWeek(f.year, f.month, f.day));
  t.hour = static_cast<std::uint16_t>(f.hour);
  t.minute = static_cast<std::uint16_t>(f.minute);
  t.second = static_cast<std::uint16_t>(f.second);
  *out = t;
  return true;
}

}  // namespace veltrox
