// The root certificate's trust and its saved copy: a root made on the first
// start is saved under the application-data folder and handed back to the
// engine on every later start, so browsers keep trusting the same root.

#include <sys/stat.h>

#include <filesystem>
#include <system_error>

#include "engine_bridge.h"
#include "files.h"

namespace veltrox {
namespace {

std::string SavedRootFolder() { return ApplicationDataFolder() + "kv/"; }
std::string SavedKeyPath() { return SavedRootFolder() + "ssl.key"; }
std::string SavedCertPath() { return SavedRootFolder() + "ssl.cert"; }

// A saved file read as text: up to its first zero byte; unreadable reads as "".
std::string ReadSavedText(const std::string& path) {
  std::string bytes = ReadWholeFile(path).value_or(std::string());
  std::size_t zero = bytes.find('\0');
  if (zero != std::string::npos) bytes.resize(zero);
  return bytes;
}

}  // namespace

bool EngineBridge::CheckRootTrust() const {
  struct stat st {};
  if (stat(SavedKeyPath().c_str(), &st) != 0) {
    removeCerts();
    return false;
  }
  sslSetKey(ReadSavedText(SavedKeyPath()));
  sslSetCert(ReadSavedText(SavedCertPath()));
  return CallBool("rootCertIsTrusted");
}

std::int32_t EngineBridge::InstallRootCert() const {
  std::int32_t result = CallInt("InstCert");

  // A new account may not have the application-data folder yet; without it the
  // root would be lost and a new one made at every start.
  std::error_code ignored;
  std::filesystem::create_directories(ApplicationDataFolder(), ignored);
  mkdir(SavedRootFolder().c_str(), 0700);

  // The key is a secret: a key file left readable by an older copy is closed
  // first, because the rewrite keeps the permission bits it finds.
  const std::string keyPath = SavedKeyPath();
  std::string key = sslGetKey();
  chmod(keyPath.c_str(), 0600);
  WriteFileAtomically(keyPath, key, 0600);
  WriteFileAtomically(SavedCertPath(), sslGetCert(), 0644);
  return result;
}

}  // namespace veltrox
