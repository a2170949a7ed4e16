#pragma once

#include <cstdint>
#include <optional>

#include "proxy.h"

namespace veltrox::engine {

// Where the engine's own onward connections go: the desktop's proxy as it was
// before the engine registered itself.
struct Chain {
  std::optional<proxy::UpstreamProxy> http;
  std::optional<proxy::UpstreamProxy> https;
};

// The engine's registration as the desktop's system proxy, kept in the record
// file fiddler/system-proxy.ini of the data folder. Callers serialise.
class DesktopProxy {
 public:
  // Puts back a registration that an earlier run left behind (its settings
  // are the real ones), then reads the proxy to chain to for `port`.
  Chain PrepareStart(std::uint16_t port);
  // Points the desktop at 127.0.0.1:`port`; false when it cannot.
  bool Register(std::uint16_t port);
  // Puts back what was there before Register; nothing when not registered.
  void Restore();

 private:
  bool registered_ = false;
};

}  // namespace veltrox::engine
