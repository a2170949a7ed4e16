#include "rewrite_hook.h"

#include <memory>
#include <mutex>

#include "batch_replace.h"
#include "engine_bridge.h"
#include "text_encoding.h"

namespace veltrox {
namespace {

struct Dependencies {
  RuleLookup lookup;
  LogWriter log;
};

// Never destroyed: an engine thread may run the hook while the process exits.
struct DependencySlot {
  std::mutex mutex;
  std::shared_ptr<const Dependencies> current;
};

DependencySlot& Slot() {
  static auto* slot = new DependencySlot;
  return *slot;
}

std::shared_ptr<const Dependencies> CurrentDependencies() {
  DependencySlot& slot = Slot();
  std::lock_guard lock(slot.mutex);
  return slot.current;
}

void Rewrite(std::uintptr_t blockAddress, std::uintptr_t slotsAddress) {
  SessionInfo session = EngineBridge::DecodeSession(blockAddress);
  if (session.type != "send") return;
  std::shared_ptr<const Dependencies> dependencies = CurrentDependencies();
  if (!dependencies || !dependencies->lookup) return;
  auto rule = dependencies->lookup(session.url);
  if (!rule) return;
  const auto& [specifiedAddress, targetAddress] = *rule;
  std::string newUrl = BatchReplace(session.url, std::nullopt, 0, false, specifiedAddress, targetAddress);
  EngineBridge::SetUrl(slotsAddress, newUrl);
  static const std::string kDone = Gb(u8" 处理成功!");
  if (dependencies->log) dependencies->log(session.url + kDone);
}

}  // namespace

void InstallRewriteDependencies(RuleLookup lookup, LogWriter log) {
  auto fresh = std::make_shared<const Dependencies>(Dependencies{std::move(lookup), std::move(log)});
  DependencySlot& slot = Slot();
  std::shared_ptr<const Dependencies> previous;
  {
    std::lock_guard lock(slot.mutex);
    previous = std::exchange(slot.current, std::move(fresh));
  }
  // `previous` is released here, outside the lock, or by the last hook using it.
}

void RewriteHook(std::uintptr_t blockAddress, std::uintptr_t slotsAddress) noexcept {
  // The engine is C: nothing may unwind into it.
  try {
    Rewrite(blockAddress, slotsAddress);
  } catch (...) {
  }
}

}  // namespace veltrox
