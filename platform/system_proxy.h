#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The desktop's system proxy: GNOME's org.gnome.system.proxy settings, which
// Chromium, Firefox (with "use system proxy") and GNOME applications follow.
// Registration points them at the tool on 127.0.0.1 and keeps loopback going
// through it, since rewriting local addresses is the tool's purpose. What was
// there before is written to a record file first and put back on
// unregistration; a record still present at the next registration is a
// registration a crash left behind, and is undone first.

namespace veltrox {

struct ProxyAddress {
  std::string host;
  int port = 0;
  bool operator==(const ProxyAddress&) const = default;
};

// Where the tool's own outgoing requests go: the system proxy as it was
// before the tool registered itself, never the tool.
struct UpstreamProxy {
  std::optional<ProxyAddress> http;   // for http:// requests
  std::optional<ProxyAddress> https;  // for https:// requests (CONNECT)
  // Hosts that go direct, in the system's own notation: names, ".suffix" or
  // "*.suffix", "*", IP addresses and IPv4 prefixes such as 10.0.0.0/8.
  std::vector<std::string> bypass;
};

// True when `host` matches an entry of `upstream.bypass`.
bool BypassesUpstream(const UpstreamProxy& upstream, std::string_view host);

// True when GNOME's proxy schema is installed and the settings backend is one
// that other programs read (not GIO's in-memory fallback, and dconf only with a
// session bus to reach it).
bool SystemProxySettingsAvailable();

class SystemProxy {
 public:
  // `recordPath`: the file in the data folder that keeps the settings found
  // before registration.
  explicit SystemProxy(std::string recordPath);

  // Undoes a leftover registration, saves the current settings to the record
  // and points HTTP and HTTPS at 127.0.0.1:`port`. False, with the settings as
  // they were, when the settings are unavailable, the record cannot be written
  // or a key cannot be set.
  bool Register(std::uint16_t port);

  // Puts back what the record holds and deletes it. True when nothing was
  // registered or the old settings are back.
  bool Unregister();

  // True while a record exists (a registration of this or an earlier run).
  bool Registered() const;

  // The system proxy to chain to for a tool listening on `ownPort`: the GNOME
  // manual proxy as it was before registration, else http_proxy, https_proxy,
  // all_proxy and no_proxy of this process's environment. A proxy that is
  // the tool itself (loopback on `ownPort`) is left out.
  UpstreamProxy Upstream(std::uint16_t ownPort) const;

  const std::string& recordPath() const { return recordPath_; }

 private:
  std::string recordPath_;
};

}  // namespace veltrox
