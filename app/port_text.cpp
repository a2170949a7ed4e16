#include "port_text.h"

#include <QString>

#include <algorithm>
#include <limits>

#include "text_encoding.h"

namespace veltrox {

std::int32_t PortFromText(std::string_view gb18030) {
  const QString text = QString::fromStdString(Gb18030ToUtf8(gb18030));
  std::u16string ascii;
  ascii.reserve(static_cast<std::size_t>(text.size()));
  for (QChar c : text) {
    char16_t u = c.unicode();
    if (u >= 0xFF01 && u <= 0xFF5E) u = static_cast<char16_t>(u - 0xFEE0);
    else if (u == 0x3000) u = u' ';
    ascii.push_back(u);
  }

  std::size_t i = 0;
  auto isSpace = [](char16_t c) { return c == u' ' || (c >= u'\t' && c <= u'\r'); };
  while (i < ascii.size() && isSpace(ascii[i])) ++i;
  bool negative = false;
  if (i < ascii.size() && (ascii[i] == u'+' || ascii[i] == u'-')) negative = ascii[i++] == u'-';
  long long value = 0;
  constexpr long long kLimit = static_cast<long long>(std::numeric_limits<std::int32_t>::max()) + 1;
  for (; i < ascii.size() && ascii[i] >= u'0' && ascii[i] <= u'9'; ++i) {
    value = std::min(value * 10 + (ascii[i] - u'0'), kLimit);
  }
  if (negative) value = -value;
  return static_cast<std::int32_t>(std::clamp<long long>(value, std::numeric_limits<std::int32_t>::min(),
                                                         std::numeric_limits<std::int32_t>::max()));
}

}  // namespace veltrox
