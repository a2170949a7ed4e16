#include "batch_replace.h"

#include "text_scan.h"

namespace veltrox {

std::string BatchReplace(std::string_view text, std::optional<std::int32_t> count, std::int32_t start,
                         bool caseSensitive, std::string_view find1, std::string_view replacement1,
                         std::string_view find2, std::string_view replacement2, std::string_view find3,
                         std::string_view replacement3, std::string_view find4, std::string_view replacement4,
                         std::string_view find5, std::string_view replacement5) {
  const std::pair<std::string_view, std::string_view> pairs[] = {
      {find1, replacement1}, {find2, replacement2}, {find3, replacement3},
      {find4, replacement4}, {find5, replacement5},
  };
  std::string result(text);
  if (count && *count <= 0) return result;
  std::optional<std::size_t> limit;
  if (count) limit = static_cast<std::size_t>(*count);
  const std::size_t from = start <= 1 ? 0 : static_cast<std::size_t>(start) - 1;
  for (const auto& [find, replacement] : pairs) {
    result = ReplaceText(result, find, replacement, !caseSensitive, limit, from);
  }
  return result;
}

}  // namespace veltrox
