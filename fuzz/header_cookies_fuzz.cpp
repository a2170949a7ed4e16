// Header normalisation and cookie merging on any text: nothing crashes, the
// normalised text has no empty line and no line without a colon, a second pass
// changes nothing, and a merge keeps no repeated item.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "header_cookies.h"
#include "text_scan.h"

using namespace veltrox;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::string headers = NormaliseHeaderNames(input);
  for (const std::string& line : SplitText(headers, "\r\n")) {
    if (line.empty() || !ContainsText(line, ":")) std::abort();
  }
  if (NormaliseHeaderNames(headers) != headers) std::abort();

  const std::size_t cut = size / 2;
  std::string sent(input.substr(0, cut));
  std::string received(input.substr(cut));
  const std::string merged = MergeCookies(sent, received);
  if (sent != merged) std::abort();
  const auto items = SplitText(merged, "; ");
  for (std::size_t i = 0; i < items.size(); ++i) {
    for (std::size_t j = i + 1; j < items.size(); ++j) {
      if (items[i] == items[j]) std::abort();
    }
  }
  return 0;
}
