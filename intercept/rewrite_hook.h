#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace veltrox {

// The rule for a request URL: (specified address, target address) of the
// upper row whose specified address equals the whole URL byte for byte, or
// nothing. Served from the rule table's published snapshot, so it never waits
// for the window and sees the table whole.
using RuleLookup = std::function<std::optional<std::pair<std::string, std::string>>(std::string_view url)>;
// Appends one line to the activity log; may wait for the clock and the window.
using LogWriter = std::function<void(std::string_view message)>;

// Installs what the hook reads. Safe while the engine runs: a hook call in
// progress keeps the pair it started with.
void InstallRewriteDependencies(RuleLookup lookup, LogWriter log);

// The engine's hook. A request whose URL is a rule's specified address gets a
// URL edit to the rule's target address and a log line "<url> 处理成功!";
// every other event passes untouched. Never throws.
void RewriteHook(std::uintptr_t blockAddress, std::uintptr_t slotsAddress) noexcept;

}  // namespace veltrox
