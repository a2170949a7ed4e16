// Runs efd.dll as the program does, with a hook that decodes nothing and
// leaves no edit, until SIGINT or SIGTERM. With "--no-hook" the engine runs
// without a hook, which shows what the hook calls themselves cost.
// Usage: efd_host <efd.dll> <port> [--no-hook]

#include <dlfcn.h>
#include <signal.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace {

// Touches the block like a hook that looks and decides to change nothing.
void Hook(std::uintptr_t block, std::uintptr_t) {
  volatile std::uintptr_t type = reinterpret_cast<const std::uintptr_t*>(block)[8];
  (void)type;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 && !(argc == 4 && std::string_view(argv[3]) == "--no-hook")) {
    std::fprintf(stderr, "usage: %s <efd.dll> <port> [--no-hook]\n", argv[0]);
    return 2;
  }
  void* library = dlopen(argv[1], RTLD_NOW);
  if (library == nullptr) {
    std::fprintf(stderr, "%s\n", dlerror());
    return 1;
  }
  auto init = reinterpret_cast<std::int32_t (*)(std::int32_t, std::uintptr_t)>(dlsym(library, "InitFiddler"));
  auto close = reinterpret_cast<void (*)()>(dlsym(library, "CloseFiddler"));
  if (init == nullptr || close == nullptr) return 1;
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);  // the engine's threads inherit the mask
  std::uintptr_t hook = argc == 4 ? 0 : reinterpret_cast<std::uintptr_t>(&Hook);
  if (init(std::atoi(argv[2]), hook) != 1) {
    std::fprintf(stderr, "cannot listen on %s\n", argv[2]);
    return 1;
  }
  std::printf("listening on %s\n", argv[2]);
  std::fflush(stdout);
  int received = 0;
  sigwait(&signals, &received);
  close();
  return 0;
}
