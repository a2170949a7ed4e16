// Runs efd.dll as the program does, with a hook that decodes nothing and
// leaves no edit, until SIGINT or SIGTERM. Usage: efd_host <efd.dll> <port>

#include <dlfcn.h>
#include <signal.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

// Touches the block like a hook that looks and decides to change nothing.
void Hook(std::uintptr_t block, std::uintptr_t) {
  volatile std::uintptr_t type = reinterpret_cast<const std::uintptr_t*>(block)[8];
  (void)type;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s <efd.dll> <port>\n", argv[0]);
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
  if (init(std::atoi(argv[2]), reinterpret_cast<std::uintptr_t>(&Hook)) != 1) {
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
