#include "chromium.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <linux/close_range.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace veltrox::testing {

std::string ChromiumPath() {
  for (const char* path : {"/usr/bin/chromium", "/usr/bin/chromium-browser"}) {
    if (access(path, X_OK) == 0) return path;
  }
  return {};
}

std::string ChromiumDumpDom(const ChromiumRun& run) {
  const std::string browser = ChromiumPath();
  if (browser.empty()) return {};
  char profileTemplate[] = "/tmp/veltrox-chromium-XXXXXX";
  if (!mkdtemp(profileTemplate)) return {};
  const std::string profile = profileTemplate;

  std::vector<std::string> args = {
      browser,
      "--headless",
      "--no-sandbox",  // tests run as root in CI
      "--disable-gpu",
      "--disable-quic",
      "--no-first-run",
      "--disable-background-networking",
      "--disable-component-update",
      "--disable-sync",
      "--disable-extensions",
      "--user-data-dir=" + profile,
      "--virtual-time-budget=" + std::to_string(run.virtualTimeBudgetMs),
  };
  if (!run.proxyServer.empty()) {
    args.push_back("--proxy-server=" + run.proxyServer);
    // Browsers send loopback addresses around a proxy unless told otherwise.
    args.push_back("--proxy-bypass-list=<-loopback>");
  }
  args.insert(args.end(), run.extraFlags.begin(), run.extraFlags.end());
  args.push_back("--dump-dom");
  args.push_back(run.url);

  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return {};
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], STDOUT_FILENO);
    int devnull = open("/dev/null", O_WRONLY);
    if (devnull >= 0) dup2(devnull, STDERR_FILENO);
    if (!run.home.empty()) setenv("HOME", run.home.c_str(), 1);
    close_range(3, ~0U, 0);  // the test's own sockets stay with the test
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  std::string dom;
  char buffer[8192];
  ssize_t n;
  while ((n = read(out[0], buffer, sizeof buffer)) > 0) dom.append(buffer, static_cast<std::size_t>(n));
  close(out[0]);
  int status = 0;
  if (pid > 0) waitpid(pid, &status, 0);
  std::error_code ignored;
  std::filesystem::remove_all(profile, ignored);
  return dom;
}

}  // namespace veltrox::testing
