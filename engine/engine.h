#pragma once

#include <cstdint>
#include <string>

namespace veltrox::engine {

using HookFunction = void (*)(std::uintptr_t block, std::uintptr_t slots);

// The engine behind the exported functions: one per process. Every member is
// safe to call from any thread; starting and stopping are serialised.
class Engine {
 public:
  static Engine& Instance();

  void SetDecryptHttps(bool on);
  void SetRegisterSystemProxy(bool on);
  // Sessions whose full URL contains `pattern` get their body in base64.
  void SetBase64Pattern(std::string pattern);

  // Starts (or restarts) listening on the low 16 bits of `port` with `hook`.
  // False when that port is 0 or cannot be listened on.
  bool Start(std::int32_t port, std::uintptr_t hook);
  // Returns once no connection is served any more; hook calls still running
  // finish on their own and their edits are dropped.
  void Stop();

 private:
  Engine() = default;
};

}  // namespace veltrox::engine
