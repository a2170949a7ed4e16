#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// The files the program carries inside itself and writes next to itself at
// every start: the engine, the proxy core beneath it, the certificate maker and
// its companions.

namespace veltrox {

// One file carried in the executable (see intercept/embed_files.cmake).
struct EmbeddedFile {
  const char* name;
  const unsigned char* data;
  std::size_t size;

  std::string_view Bytes() const { return {reinterpret_cast<const char*>(data), size}; }
};

// The carried names, in the order they are written out.
inline constexpr std::array<std::string_view, 7> kSupportFileNames = {
    "FiddlerCore4.dll", "efd.dll", "BCMakeCert.dll", "CertMaker.dll", "ssleay32.dll", "libeay32.dll", "makecert.exe",
};

inline constexpr std::string_view kEngineLibraryName = "efd.dll";

// Writes each file into `directory`, in the order given, byte for byte. Each is
// written under a temporary name and renamed over the old one, so a running
// copy of the program keeps the file it has mapped and nobody ever sees half a
// library. A file that cannot be written is left as it is on disk. Returns the
// names that were written.
std::vector<std::string> WriteSupportFiles(const std::string& directory, std::span<const EmbeddedFile> files);

// Creates "fiddler/" in the application-data folder (and the folders above it
// when a new account has none yet). Failures are ignored.
void CreateDataFolder();

// The start-up failure message for a load error code, and its title, as GB18030.
std::string LoadFailureMessage(int errorCode);
std::string LoadFailureTitle();

}  // namespace veltrox
