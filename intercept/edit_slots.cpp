#include "edit_slots.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "base64.h"

namespace veltrox {
namespace {

// Slot texts are never given back, so they come from one arena that lives as
// long as the process: many small copies cost one allocation per chunk, and
// the memory stays reachable rather than lost.
class SlotTextArena {
 public:
  const char* Copy(std::string_view text) {
    std::size_t need = text.size() + 1;
    std::lock_guard lock(mutex_);
    char* block;
    if (need > kChunkBytes / 4) {
      chunks_.push_back(std::make_unique<char[]>(need));  // zero-filled
      block = chunks_.back().get();
    } else {
      if (!current_ || kChunkBytes - used_ < need) {
        chunks_.push_back(std::make_unique<char[]>(kChunkBytes));
        current_ = chunks_.back().get();
        used_ = 0;
      }
      block = current_ + used_;
      used_ += need;
    }
    std::memcpy(block, text.data(), text.size());
    return block;
  }

 private:
  static constexpr std::size_t kChunkBytes = 64 * 1024;
  std::mutex mutex_;
  std::vector<std::unique_ptr<char[]>> chunks_;
  char* current_ = nullptr;
  std::size_t used_ = 0;
};

SlotTextArena& Arena() {
  // Never destroyed: an engine thread may still write an edit while the
  // process exits.
  static auto* arena = new SlotTextArena;
  return *arena;
}

}  // namespace

bool WriteEdit(std::uintptr_t slotsAddress, std::int32_t code, std::string_view text1, std::string_view text2) {
  if (slotsAddress == 0) return false;
  auto* slots = reinterpret_cast<unsigned char*>(slotsAddress);
  for (std::size_t slot = 0; slot < kSlotCount; ++slot) {
    unsigned char* at = slots + slot * kSlotWords * sizeof(RecordWord);
    RecordWord existing;
    std::memcpy(&existing, at, sizeof existing);
    if (static_cast<std::uint32_t>(existing) != 0) continue;
    RecordWord words[kSlotWords] = {
        static_cast<RecordWord>(static_cast<std::uint32_t>(code)),
        reinterpret_cast<RecordWord>(Arena().Copy(text1)),
        reinterpret_cast<RecordWord>(Arena().Copy(text2)),
    };
    std::memcpy(at, words, sizeof words);
    return true;
  }
  return false;
}

std::string ToBase64(std::string_view bytes) { return Base64Encode(bytes); }

std::string FromBase64(std::string_view text) { return Base64Decode(text).value_or(std::string()); }

}  // namespace veltrox
