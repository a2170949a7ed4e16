#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace veltrox {

// Applies up to five find/replacement pairs in turn, each to the result of the
// one before. Each pair replaces at most `count` matches (every match when
// absent; 0 or less replaces none), searching from the 1-based byte position
// `start` (0 or less counts as 1; beyond the end changes nothing), with the
// ASCII letters compared without case unless `caseSensitive`. Matching follows
// the tool's double-byte scanning rule, replaced text is never scanned again,
// and a pair with an empty find text does nothing.
std::string BatchReplace(std::string_view text, std::optional<std::int32_t> count, std::int32_t start,
                         bool caseSensitive, std::string_view find1, std::string_view replacement1,
                         std::string_view find2 = {}, std::string_view replacement2 = {},
                         std::string_view find3 = {}, std::string_view replacement3 = {},
                         std::string_view find4 = {}, std::string_view replacement4 = {},
                         std::string_view find5 = {}, std::string_view replacement5 = {});

}  // namespace veltrox
