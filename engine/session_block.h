#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace veltrox::engine {

using Word = std::uintptr_t;

inline constexpr std::size_t kBlockWords = 9;
inline constexpr std::size_t kSlotCount = 10;
inline constexpr std::size_t kSlotWords = 3;

enum class EventType : std::uint32_t { Recv = 0, Send = 1, WebSocket = 2 };

// The record of one event as the hook sees it: nine words, the first seven
// pointing at zero-terminated GB18030 texts, then a number and the type; and a
// zeroed area of ten edit slots. Both live until the record is destroyed,
// after the edits have been read.
class EventRecord {
 public:
  EventRecord(std::array<std::string, 7> texts, std::uint32_t number, EventType type);
  EventRecord(const EventRecord&) = delete;
  EventRecord& operator=(const EventRecord&) = delete;

  // Points word `index` (0-based) at a text that outlives the record instead of
  // the record's own copy; saves copying a large body.
  void PointWordAt(std::size_t index, const char* text);

  Word BlockAddress() const { return reinterpret_cast<Word>(block_.get()); }
  Word SlotsAddress() const { return reinterpret_cast<Word>(slots_.get()); }

 private:
  std::array<std::string, 7> texts_;
  // One byte more than the words need, zeroed, as the program expects.
  std::unique_ptr<unsigned char[]> block_;
  std::unique_ptr<unsigned char[]> slots_;
};

struct Edit {
  int code = 0;  // the low byte of the code word, read as signed 8-bit
  Word text1 = 0;
  Word text2 = 0;
};

// The edits in slot order: from slot 1 up to the first zero code or slot 10.
// Texts are read only for edits that are applied (TextAt).
std::vector<Edit> ReadEdits(Word slots);

// The zero-terminated text at `address`; 0 reads as the empty text.
std::string TextAt(Word address);

}  // namespace veltrox::engine
