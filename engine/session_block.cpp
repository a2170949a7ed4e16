#include "session_block.h"

#include <cstring>

namespace veltrox::engine {
namespace {

Word ReadWord(const unsigned char* base, std::size_t index) {
  Word w;
  std::memcpy(&w, base + index * sizeof(Word), sizeof(Word));
  return w;
}

void WriteWord(unsigned char* base, std::size_t index, Word w) {
  std::memcpy(base + index * sizeof(Word), &w, sizeof(Word));
}

}  // namespace

std::string TextAt(Word address) {
  if (address == 0) return {};
  return std::string(reinterpret_cast<const char*>(address));
}

EventRecord::EventRecord(std::array<std::string, 7> texts, std::uint32_t number, EventType type)
    : texts_(std::move(texts)),
      block_(new unsigned char[kBlockWords * sizeof(Word) + 1]()),
      slots_(new unsigned char[kSlotCount * kSlotWords * sizeof(Word) + 1]()) {
  for (std::size_t i = 0; i < texts_.size(); ++i) {
    WriteWord(block_.get(), i, reinterpret_cast<Word>(texts_[i].c_str()));
  }
  WriteWord(block_.get(), 7, static_cast<Word>(number));
  WriteWord(block_.get(), 8, static_cast<Word>(static_cast<std::uint32_t>(type)));
}

void EventRecord::PointWordAt(std::size_t index, const char* text) {
  WriteWord(block_.get(), index, reinterpret_cast<Word>(text));
}

std::vector<Edit> ReadEdits(Word slots) {
  std::vector<Edit> edits;
  if (slots == 0) return edits;
  const auto* base = reinterpret_cast<const unsigned char*>(slots);
  for (std::size_t slot = 0; slot < kSlotCount; ++slot) {
    Word codeWord = ReadWord(base, slot * kSlotWords);
    auto code = static_cast<std::int8_t>(static_cast<std::uint8_t>(codeWord & 0xff));
    if (code == 0) break;
    Edit edit;
    edit.code = code;
    edit.text1 = ReadWord(base, slot * kSlotWords + 1);
    edit.text2 = ReadWord(base, slot * kSlotWords + 2);
    edits.push_back(std::move(edit));
  }
  return edits;
}

}  // namespace veltrox::engine
