#pragma once

#include <string>
#include <string_view>

#include "proxy_export.h"

namespace veltrox::proxy {

// The core's named settings that outlive a start and a stop: strings, with
// booleans stored as "True"/"False". Safe to use from any thread.
//
// Names the core reads:
//   fiddler.network.streaming.abortifclientaborts  (bool) stop reading a
//       response whose client went away instead of draining it for reuse
//   fiddler.certmaker.bc.key, fiddler.certmaker.bc.cert  the root's PEM texts
//   veltrox.network.timeout.response.ms, veltrox.network.timeout.idle.ms
//       time-outs in milliseconds for requests from then on
//   veltrox.network.localhost.port  the engine's localhost TLS endpoint (7777
//       unless set), read at each start
class VELTROX_PROXY_API Preferences {
 public:
  static std::string GetString(std::string_view name, std::string_view fallback = {});
  static void SetString(std::string_view name, std::string_view value);
  static bool GetBool(std::string_view name, bool fallback);
  static void SetBool(std::string_view name, bool value);
  static long long GetInteger(std::string_view name, long long fallback);
  static void Remove(std::string_view name);
};

}  // namespace veltrox::proxy
