#pragma once

#include <string>
#include <string_view>

namespace veltrox {

// Every text inside the tool is GB18030 bytes; UTF-8 appears only at the edges
// (widgets, file names, HTTP wire text). Both conversions are lossless for
// valid input. A byte sequence that is not valid in the source encoding comes
// out as U+FFFD / "?" rather than being dropped, so its position stays visible.
std::string Gb18030ToUtf8(std::string_view gb18030);
std::string Utf8ToGb18030(std::string_view utf8);

// A system text written in UTF-8 in the source, as GB18030 bytes.
// Meant for literals: `static const std::string kOk = Gb(u8"添加成功!")`.
std::string Gb(std::u8string_view utf8);

}  // namespace veltrox
