// BatchReplace on any text and pairs: nothing crashes, a find text that does
// not occur from the start position on changes nothing, and a replacement by itself is the identity.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "batch_replace.h"
#include "text_scan.h"

using namespace veltrox;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  const std::int32_t start = static_cast<std::int8_t>(data[0]);
  const std::optional<std::int32_t> count =
      data[1] & 0x80 ? std::nullopt : std::optional<std::int32_t>(data[1] & 0x0F);
  const bool caseSensitive = data[2] & 1;
  std::string_view rest(reinterpret_cast<const char*>(data + 3), size - 3);
  // The text, then up to five find/replacement pairs, separated by NUL bytes.
  std::string_view parts[11];
  std::size_t n = 0;
  while (n < 11) {
    std::size_t zero = rest.find('\0');
    parts[n++] = rest.substr(0, zero);
    if (zero == std::string_view::npos) break;
    rest.remove_prefix(zero + 1);
  }
  const std::string_view text = parts[0];
  const std::string out = BatchReplace(text, count, start, caseSensitive, parts[1], parts[2], parts[3], parts[4],
                                       parts[5], parts[6], parts[7], parts[8], parts[9], parts[10]);
  // The scan begins at `start` as if a character began there.
  const std::size_t from = static_cast<std::size_t>(std::max(start, 1) - 1);
  if (n <= 3 && (from >= text.size() || FindText(text, parts[1], from, !caseSensitive) == kNotFound) && out != text) {
    std::abort();
  }
  if (BatchReplace(text, count, start, true, parts[1], parts[1]) != text) std::abort();
  return 0;
}
