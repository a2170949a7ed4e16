// Runs efd.dll as the program does at its start command (a new root, HTTPS
// interception on, a hook that takes every event and edits nothing) until its
// standard input ends. Usage: https_bench_proxy <port> <root certificate file> [--no-hook]
// (--no-hook starts it without a hook: no events, for the cost of reporting).

#include <dlfcn.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>

namespace {

void Hook(std::uintptr_t, std::uintptr_t) {}

template <class F>
F Find(void* library, const char* name) {
  auto f = reinterpret_cast<F>(dlsym(library, name));
  if (f == nullptr) {
    std::fprintf(stderr, "missing export %s\n", name);
    std::exit(2);
  }
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  const bool hooked = !(argc == 4 && std::string(argv[3]) == "--no-hook");
  if (argc != 3 && hooked) {
    std::fprintf(stderr, "usage: %s <port> <root certificate file> [--no-hook]\n", argv[0]);
    return 2;
  }
  void* library = dlopen(EFD_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    std::fprintf(stderr, "%s\n", dlerror());
    return 2;
  }
  auto createRoot = Find<std::int32_t (*)()>(library, "CreateRootCert");
  auto getCert = Find<const char* (*)()>(library, "sslGetCert");
  auto startSsl = Find<void (*)(std::int32_t)>(library, "StartSSL");
  auto init = Find<std::int32_t (*)(std::int32_t, std::uintptr_t)>(library, "InitFiddler");
  auto close = Find<void (*)()>(library, "CloseFiddler");
  if (createRoot() != 1) return 1;
  std::ofstream(argv[2]) << getCert();
  startSsl(1);
  if (init(std::atoi(argv[1]), hooked ? reinterpret_cast<std::uintptr_t>(&Hook) : 0) != 1) return 1;
  std::cout << "ready" << std::endl;
  std::string line;
  while (std::getline(std::cin, line)) {
  }
  close();
  return 0;
}
