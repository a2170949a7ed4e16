// Loading rules from any settings value: nothing crashes, every row is a pair
// numbered in order, and saving then loading again keeps every rule that has
// a target.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "files.h"
#include "rule_table.h"
#include "text_encoding.h"

using namespace veltrox;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string path = "/dev/shm/veltrox-fuzz-p-" + std::to_string(getpid()) + ".ini";
  std::string value(reinterpret_cast<const char*>(data), size);
  if (value.find_first_of("\r\n") != std::string::npos) return 0;
  // Only text the window can produce - valid GB18030 - must survive a save: a
  // lone lead byte in front of "|" would join it into one character.
  if (Utf8ToGb18030(Gb18030ToUtf8(value)) != value) return 0;
  if (!WriteFileAtomically(path, "[user]\r\ndata=" + value + "\r\n")) return 0;

  RuleTable table(path);
  table.LoadRules();
  // A member such as "a--------" loads as a rule with an empty target, which
  // is stored as "a----|" and so does not come back: the one rule a save drops.
  std::string kept;
  for (int row = 0; row < table.RowCount(); ++row) {
    if (table.RowText(row, 0) != std::to_string(row + 1)) std::abort();
    if (table.RowText(row, 2).empty()) continue;
    kept += table.RowText(row, 1) + "----" + table.RowText(row, 2) + "|";
  }
  table.SaveRules();
  if (table.StoredValue() != kept) std::abort();
  return 0;
}
