// The INI reader and writer on any text: nothing crashes, a written value reads
// back unchanged, and a write touches no other key.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "private_profile.h"

using namespace veltrox;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  // First line: the value to write; the rest: the file it goes into.
  std::size_t nl = input.find('\n');
  std::string value(input.substr(0, nl));
  std::string_view file = nl == std::string_view::npos ? std::string_view() : input.substr(nl + 1);
  if (value.find('\r') != std::string::npos) return 0;

  const auto otherBefore = ReadProfileValue(file, "user", "other");
  std::string written = WriteProfileValue(file, "user", "data", value);
  const auto readBack = ReadProfileValue(written, "user", "data");
  if (!readBack || *readBack != value) std::abort();
  // A key that stood before a [user] section's "data" keeps its value.
  const auto otherAfter = ReadProfileValue(written, "user", "other");
  if (otherBefore && otherAfter != otherBefore) std::abort();
  return 0;
}
