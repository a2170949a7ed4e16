#include "library_loading.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

namespace veltrox {
namespace {

bool Mentions(std::string_view message, std::string_view what) {
  return message.find(what) != std::string_view::npos;
}

constexpr unsigned char kNativeClass = sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32;
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
constexpr unsigned char kNativeData = ELFDATA2LSB;
#else
constexpr unsigned char kNativeData = ELFDATA2MSB;
#endif
#if defined(__x86_64__)
constexpr int kNativeMachine = EM_X86_64;
#elif defined(__i386__)
constexpr int kNativeMachine = EM_386;
#elif defined(__aarch64__)
constexpr int kNativeMachine = EM_AARCH64;
#else
constexpr int kNativeMachine = -1;  // not checked
#endif

// Whether the file begins like a shared object this process could map. Only
// the identification fields are looked at; the loader itself has already said
// no, this decides whether the file is to blame or something it needs.
enum class Image { Loadable, Foreign, Unreadable };

Image InspectImage(const std::string& path, int& readErrno) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    readErrno = errno;
    return Image::Unreadable;
  }
  ElfW(Ehdr) header{};
  std::size_t have = 0;
  auto* bytes = reinterpret_cast<unsigned char*>(&header);
  while (have < sizeof header) {
    ssize_t n = read(fd, bytes + have, sizeof header - have);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      readErrno = errno;
      close(fd);
      return Image::Unreadable;
    }
    if (n == 0) break;
    have += static_cast<std::size_t>(n);
  }
  close(fd);
  if (have < sizeof header || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0) return Image::Foreign;
  if (header.e_ident[EI_CLASS] != kNativeClass || header.e_ident[EI_DATA] != kNativeData) return Image::Foreign;
  if (kNativeMachine >= 0 && header.e_machine != kNativeMachine) return Image::Foreign;
  if (header.e_type != ET_DYN) return Image::Foreign;
  return Image::Loadable;
}

int ClassifyLoadFailure(const std::string& path, std::string_view message, int loaderErrno) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    return errno == ENOENT || errno == ENOTDIR ? kLoadErrorNotFound : errno;
  }
  if (S_ISDIR(st.st_mode)) return EISDIR;
  int readErrno = 0;
  switch (InspectImage(path, readErrno)) {
    case Image::Unreadable: return readErrno != 0 ? readErrno : EIO;
    case Image::Foreign: return kLoadErrorBadImage;
    case Image::Loadable: break;
  }
  // The file itself is fine, so the loader stumbled over its contents or over
  // a library it needs.
  if (Mentions(message, "undefined symbol") || Mentions(message, "symbol lookup error") ||
      Mentions(message, "version `")) {
    return kLoadErrorUnresolvedSymbol;
  }
  if (Mentions(message, "cannot open shared object file")) return kLoadErrorNotFound;
  if (Mentions(message, "ELF") || Mentions(message, "cannot dynamically load")) return kLoadErrorBadImage;
  return loaderErrno != 0 ? loaderErrno : ENOEXEC;
}

}  // namespace

LoadedLibrary LoadLibraryFile(const std::string& path) {
  // A name without a slash would send dlopen searching the system's library
  // folders; the caller always means this very file.
  std::string file = path.find('/') == std::string::npos ? "./" + path : path;
  dlerror();
  errno = 0;
  void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  int loaderErrno = errno;
  if (handle) return {handle, 0};
  const char* message = dlerror();
  return {nullptr, ClassifyLoadFailure(file, message ? message : "", loaderErrno)};
}

void* FindExport(void* handle, const char* name) {
  if (!handle || !name) return nullptr;
  return dlsym(handle, name);
}

}  // namespace veltrox
