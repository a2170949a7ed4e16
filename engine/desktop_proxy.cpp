#include "desktop_proxy.h"

#include <sys/stat.h>

#include <string>

#include <boost/asio/ip/address.hpp>

#include "files.h"
#include "system_proxy.h"
#include "text_scan.h"

namespace veltrox::engine {
namespace {

std::string RecordPath() {
  std::string folder = ApplicationDataFolder();
  return folder.empty() ? std::string() : folder + "fiddler/system-proxy.ini";
}

// A proxy elsewhere cannot reach this machine's loopback, so those hosts go
// direct whatever the bypass list says (as browsers do).
bool IsLoopbackHost(const std::string& host) {
  if (EqualsText(host, "localhost", true) ||
      (host.size() > 10 && EqualsText(std::string_view(host).substr(host.size() - 10), ".localhost", true))) {
    return true;
  }
  boost::system::error_code ec;
  auto address = boost::asio::ip::make_address(host, ec);
  return !ec && address.is_loopback();
}

std::optional<proxy::UpstreamProxy> ForCore(const std::optional<ProxyAddress>& address,
                                            const UpstreamProxy& upstream) {
  if (!address || address->host.empty() || address->port <= 0 || address->port > 65535) return std::nullopt;
  proxy::UpstreamProxy out;
  out.host = address->host;
  out.port = static_cast<std::uint16_t>(address->port);
  out.bypass = upstream.bypass;
  // The desktop's notation (IP prefixes, "*") is richer than the core's own.
  out.bypasses = [upstream](const std::string& host) {
    return IsLoopbackHost(host) || BypassesUpstream(upstream, host);
  };
  return out;
}

}  // namespace

Chain DesktopProxy::PrepareStart(std::uint16_t port) {
  std::string path = RecordPath();
  if (path.empty()) return {};
  SystemProxy system(path);
  // Left by a run that ended without restoring, or by this run's last start.
  if (system.Registered() && system.Unregister()) registered_ = false;
  UpstreamProxy upstream = system.Upstream(port);
  return Chain{ForCore(upstream.http, upstream), ForCore(upstream.https, upstream)};
}

bool DesktopProxy::Register(std::uint16_t port) {
  std::string path = RecordPath();
  if (path.empty() || !SystemProxySettingsAvailable()) return false;
  // The record goes into the data folder, which may not exist yet.
  std::string folder = ApplicationDataFolder() + "fiddler";
  ::mkdir(ApplicationDataFolder().c_str(), 0700);
  ::mkdir(folder.c_str(), 0700);
  registered_ = SystemProxy(path).Register(port);
  return registered_;
}

void DesktopProxy::Restore() {
  if (!registered_) return;
  std::string path = RecordPath();
  if (!path.empty() && SystemProxy(path).Unregister()) registered_ = false;
}

}  // namespace veltrox::engine
