// The HTTP date parser and the clock's stamp on any text: nothing crashes, a
// refused text leaves the record untouched, an accepted one is a real date,
// and the stamp of whatever comes out is a well-formed line.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "date_time.h"
#include "internet_time.h"

using namespace veltrox;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  SystemTime untouched;
  untouched.year = 1234;
  SystemTime record = untouched;
  if (!InternetTimeToSystemTime(text, &record)) {
    if (!(record == untouched)) std::abort();
  } else if (record.month < 1 || record.month > 12 || record.day < 1 || record.day > 31 || record.hour > 23 ||
             record.minute > 59 || record.second > 60) {
    std::abort();
  }
  const std::string stamp = FormatDateTime(ParseInternetTime(text), "yyyy/M/d", " hh:mm:ss", 1);
  if (stamp.size() < 17 || stamp.size() > 19) std::abort();
  return 0;
}
