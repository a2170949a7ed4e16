#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

namespace veltrox {

// Directory of the running executable (/proc/self/exe), without a trailing '/'.
std::string ProgramDirectory();

// The user's application-data folder, always ending in '/':
// $XDG_DATA_HOME/ when set and absolute, else ~/.local/share/. Empty when
// neither can be determined.
std::string ApplicationDataFolder();

// The whole file, or nothing when it cannot be read.
std::optional<std::string> ReadWholeFile(const std::string& path);

// Writes `bytes` to a temporary file in the same directory, flushes it to disk
// and renames it over `path`, so readers see the old file or the new one and
// never a part. An existing file keeps its permission bits; a new one gets
// `mode`. Returns false, leaving `path` as it was, when any step fails.
bool WriteFileAtomically(const std::string& path, std::string_view bytes, mode_t mode = 0644);

}  // namespace veltrox
