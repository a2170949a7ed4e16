#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>

namespace veltrox::testing {

// A fresh folder under the system's temporary directory, removed with
// everything in it when the object goes.
class TempDir {
 public:
  explicit TempDir(const std::string& tag = "test") {
    std::string pattern = (std::filesystem::temp_directory_path() / ("veltrox-" + tag + "-XXXXXX")).string();
    if (mkdtemp(pattern.data())) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace veltrox::testing
