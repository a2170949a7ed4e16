#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "session_record.h"

// The edit slots the hook fills for the engine: ten slots of three words
// (code, text1 address, text2 address), filled from the first without gaps; a
// code of 0 marks a free slot and the end of the list. The engine applies them
// after the hook has returned.

namespace veltrox {

inline constexpr std::size_t kSlotCount = 10;
inline constexpr std::size_t kSlotWords = 3;
inline constexpr std::size_t kSlotAreaBytes = kSlotCount * kSlotWords * sizeof(RecordWord);

enum EditCode : std::int32_t {
  kEditReplaceInResponseBody = 1,
  kEditSetResponseBody = 2,
  kEditPrependToResponseBody = 3,
  kEditAddSetCookie = 4,
  kEditRemoveSetCookie = 5,
  kEditPutResponseHeader = 6,
  kEditSetResponseBodyBytes = 7,
  kEditSetRequestBody = 8,
  kEditSetRequestBodyBytes = 9,
  kEditSetUrl = 10,
  kEditReplaceInUrl = 11,
  kEditAppendQueryParameter = 12,
  kEditReplaceInRequestBody = 13,
  kEditSetRequestCookie = 14,
  kEditPutHeaderOrReplaceInPayload = 15,  // a request header on sessions, a payload edit on messages
  kEditSetPayload = 16,
};

// The second text of an edit that has only one; the engine does not read it.
inline constexpr std::string_view kUnusedText = "\x14";

// Puts one edit into the first free slot. Each text is copied into a
// zero-terminated block of its own that stays valid for the rest of the
// process: the engine reads it after the hook has returned and never says when
// it is done. Returns false, allocating and writing nothing, when all ten slots
// are taken or `slotsAddress` is 0.
bool WriteEdit(std::uintptr_t slotsAddress, std::int32_t code, std::string_view text1, std::string_view text2);

// Standard base64 without line breaks; empty when encoding fails.
std::string ToBase64(std::string_view bytes);
// The inverse; empty when `text` is not base64.
std::string FromBase64(std::string_view text);

}  // namespace veltrox
