#pragma once

#include <cstdint>
#include <string_view>

namespace veltrox {

// The port number a user typed: full-width letters, digits and signs and the
// ideographic blank count as their ASCII forms; leading white space is skipped,
// then an optional sign and decimal digits are read up to the first other
// character. A text without a leading number gives 0. The value is not checked
// against the range of ports (the engine takes its low 16 bits); a number
// beyond 32 bits is held at the nearest 32-bit limit.
std::int32_t PortFromText(std::string_view gb18030);

}  // namespace veltrox
