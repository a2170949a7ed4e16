#include "files.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace veltrox {

std::string ProgramDirectory() {
  std::string buffer(4096, '\0');
  ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
  if (n <= 0) return ".";
  buffer.resize(static_cast<std::size_t>(n));
  std::size_t slash = buffer.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return buffer.substr(0, slash);
}

std::string ApplicationDataFolder() {
  const char* xdg = std::getenv("XDG_DATA_HOME");
  if (xdg && xdg[0] == '/') {
    std::string folder(xdg);
    if (folder.back() != '/') folder += '/';
    return folder;
  }
  std::string home;
  if (const char* h = std::getenv("HOME"); h && *h) {
    home = h;
  } else if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) {
    home = pw->pw_dir;
  }
  if (home.empty()) return {};
  if (home.back() != '/') home += '/';
  return home + ".local/share/";
}

std::optional<std::string> ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return std::move(buffer).str();
}

bool WriteFileAtomically(const std::string& path, std::string_view bytes, mode_t mode) {
  static std::atomic<unsigned> sequence{0};
  struct stat existing {};
  if (stat(path.c_str(), &existing) == 0) mode = existing.st_mode & 07777;

  std::string temp = path + ".tmp." + std::to_string(getpid()) + "." + std::to_string(sequence++);
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) return false;
  bool ok = fchmod(fd, mode) == 0;
  const char* data = bytes.data();
  std::size_t left = bytes.size();
  while (ok && left > 0) {
    ssize_t n = write(fd, data, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    data += n;
    left -= static_cast<std::size_t>(n);
  }
  ok = ok && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  ok = ok && rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) unlink(temp.c_str());
  return ok;
}

}  // namespace veltrox
