#pragma once

#include <string>
#include <vector>

namespace veltrox::testing {

// Debian's Chromium, headless, as the browser tests drive it: a fresh profile,
// no traffic of its own, the page's DOM printed once its scripts have run.
struct ChromiumRun {
  std::string url;
  std::string proxyServer;  // "127.0.0.1:<port>"; empty for none
  std::string home;         // HOME for the browser (its NSS database); empty keeps ours
  int virtualTimeBudgetMs = 5000;
  std::vector<std::string> extraFlags;
};

// Path of the browser, or "" when it is not installed.
std::string ChromiumPath();

// The DOM after the page settled, or "" when the browser could not run.
std::string ChromiumDumpDom(const ChromiumRun& run);

}  // namespace veltrox::testing
