#pragma once

#include <cstdlib>
#include <deque>
#include <filesystem>
#include <optional>
#include <string>

#include "edit_slots.h"
#include "session_record.h"

namespace veltrox::testing {

// A temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& Path() const { return path_; }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// Sets an environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> previous_;
};

// A session block as the engine lays one out, with its texts kept alive.
class FakeBlock {
 public:
  explicit FakeBlock(std::int32_t typeCode) { words_[kWordTypeCode] = static_cast<std::uint32_t>(typeCode); }
  FakeBlock(const FakeBlock&) = delete;
  FakeBlock& operator=(const FakeBlock&) = delete;
  FakeBlock& Text(std::size_t word, std::string text) {
    texts_.push_back(std::move(text));
    words_[word] = reinterpret_cast<RecordWord>(texts_.back().c_str());
    return *this;
  }
  FakeBlock& Word(std::size_t word, RecordWord value) {
    words_[word] = value;
    return *this;
  }
  std::uintptr_t Address() const { return reinterpret_cast<std::uintptr_t>(words_); }

 private:
  std::deque<std::string> texts_;
  RecordWord words_[kBlockWords + 1] = {};  // the engine allocates one spare byte; a word here
};

// An edit-slot area as the engine hands one over: zero-filled.
class FakeSlots {
 public:
  struct Slot {
    RecordWord code;
    const char* text1;
    const char* text2;
  };
  std::uintptr_t Address() const { return reinterpret_cast<std::uintptr_t>(words_); }
  Slot At(std::size_t slot) const {
    const RecordWord* w = words_ + slot * kSlotWords;
    return {w[0], reinterpret_cast<const char*>(w[1]), reinterpret_cast<const char*>(w[2])};
  }
  // Slots filled from the first up to the first free one.
  std::size_t Used() const {
    std::size_t n = 0;
    while (n < kSlotCount && At(n).code != 0) ++n;
    return n;
  }
  RecordWord* Words() { return words_; }

 private:
  RecordWord words_[kSlotCount * kSlotWords + 1] = {};
};

}  // namespace veltrox::testing
