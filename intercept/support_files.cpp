#include "support_files.h"

#include <filesystem>
#include <system_error>

#include "files.h"
#include "text_encoding.h"

namespace veltrox {

std::vector<std::string> WriteSupportFiles(const std::string& directory, std::span<const EmbeddedFile> files) {
  std::vector<std::string> written;
  for (const EmbeddedFile& file : files) {
    // Libraries and the certificate tool alike are mapped or run, hence 0755.
    if (WriteFileAtomically(directory + "/" + file.name, file.Bytes(), 0755)) written.emplace_back(file.name);
  }
  return written;
}

void CreateDataFolder() {
  std::error_code ignored;
  std::filesystem::create_directories(ApplicationDataFolder() + "fiddler/", ignored);
}

std::string LoadFailureMessage(int errorCode) {
  return Gb(u8"无法加载efd.dll，错误值：") + std::to_string(errorCode);
}

std::string LoadFailureTitle() { return Gb(u8"注意"); }

}  // namespace veltrox
