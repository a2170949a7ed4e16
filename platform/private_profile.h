#pragma once

#include <optional>
#include <string>
#include <string_view>

// INI files in the manner of the Windows private-profile functions, with the
// behaviour the settings file relies on: section and key names match ignoring
// ASCII case; a missing file, section or key reads as the default; a write
// keeps every other section, key, comment and line byte for byte. Values are
// bytes (GB18030 in this tool) and are read whole, however long.

namespace veltrox {

// The value of `key` in the first `section` of an INI text, with blanks and
// tabs around it removed and one pair of enclosing quotes taken off, or nothing
// when section or key is missing.
std::optional<std::string> ReadProfileValue(std::string_view iniText, std::string_view section,
                                            std::string_view key);

// The INI text with `key` of `section` set to `value` ("key=value"); the
// section and key are appended when missing. Line endings follow the text's
// own (CR LF for a text that has none). A value with blanks at either end or
// with enclosing quotes is written in quotes, so that it reads back unchanged.
std::string WriteProfileValue(std::string_view iniText, std::string_view section, std::string_view key,
                              std::string_view value);

std::string GetPrivateProfileString(std::string_view section, std::string_view key,
                                    std::string_view defaultValue, const std::string& path);

// Replaces the file atomically; on failure the file stays as it was and the
// result is false. A value holding CR or LF cannot be stored and is refused.
bool WritePrivateProfileString(std::string_view section, std::string_view key, std::string_view value,
                               const std::string& path);

}  // namespace veltrox
