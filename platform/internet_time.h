#pragma once

#include <string_view>

#include "ole_date.h"

namespace veltrox {

// Reads an HTTP date in any of the three forms that HTTP/1.1 recipients accept:
//   "Sun, 06 Nov 1994 08:49:37 GMT"   (RFC 1123)
//   "Sunday, 06-Nov-94 08:49:37 GMT"  (RFC 850; years 70-99 are 19xx, 00-69 20xx)
//   "Sun Nov  6 08:49:37 1994"        (asctime)
// Blanks and tabs may stand in front and behind; names match ignoring ASCII
// case; the zone may be GMT, UTC or UT. The day name is not checked against
// the date. On success fills `out` (day of week from the date, milliseconds 0)
// and returns true. Any other text returns false and leaves `out` exactly as
// it was, so a caller that starts from a zeroed record can see nothing was read.
bool InternetTimeToSystemTime(std::string_view text, SystemTime* out);

}  // namespace veltrox
