#include "x_display.h"

#include <fcntl.h>
#include <linux/close_range.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <sstream>
#include <thread>

namespace veltrox::testing {
namespace {

std::string ReadAll(int fd) {
  std::string out;
  char buffer[4096];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<std::size_t>(n));
  return out;
}

}  // namespace

std::string RunProgram(const std::vector<std::string>& argv, const std::vector<std::string>& environment) {
  int out[2];
  if (argv.empty() || pipe2(out, O_CLOEXEC) != 0) return {};
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], STDOUT_FILENO);
    int devnull = open("/dev/null", O_WRONLY);
    if (devnull >= 0) dup2(devnull, STDERR_FILENO);
    for (const auto& entry : environment) putenv(const_cast<char*>(entry.c_str()));
    // Nothing of the test process (a proxy's listening socket, say) lives on in the child.
    close_range(3, ~0U, 0);
    std::vector<char*> args;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(out[1]);
  std::string output = ReadAll(out[0]);
  close(out[0]);
  if (pid > 0) waitpid(pid, nullptr, 0);
  return output;
}

XDisplay::XDisplay() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return;
  pid_ = fork();
  if (pid_ == 0) {
    int devnull = open("/dev/null", O_WRONLY);
    if (devnull >= 0) {
      dup2(devnull, STDOUT_FILENO);
      dup2(devnull, STDERR_FILENO);
    }
    // Xvfb writes the display number it chose to this descriptor. Without
    // -noreset it resets when its last client leaves (a killed program, say),
    // and a client that connects meanwhile is turned away.
    int keep = dup(fds[1]);
    std::string fd = std::to_string(keep);
    execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1024x600x24", "-nolisten", "tcp", "-noreset",
           static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  std::string number = ReadAll(fds[0]);
  close(fds[0]);
  while (!number.empty() && (number.back() == '\n' || number.back() == ' ')) number.pop_back();
  if (!number.empty()) name_ = ":" + number;
}

XDisplay::~XDisplay() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
}

std::string XDisplay::Run(const std::vector<std::string>& argv) const {
  return RunProgram(argv, {"DISPLAY=" + name_});
}

std::string XDisplay::WaitForWindow(const std::string& title, int timeoutMs) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  do {
    std::string ids = Run({"xdotool", "search", "--onlyvisible", "--name", title});
    if (!ids.empty()) return ids.substr(0, ids.find('\n'));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  } while (std::chrono::steady_clock::now() < deadline);
  return {};
}

int XDisplay::WindowCount(const std::string& title) const {
  const std::string ids = Run({"xdotool", "search", "--onlyvisible", "--name", title});
  return static_cast<int>(std::count(ids.begin(), ids.end(), '\n'));
}

bool XDisplay::WaitForWindowCount(const std::string& title, int count, int timeoutMs) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (WindowCount(title) < count) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return true;
}

bool XDisplay::WindowOrigin(const std::string& window, int& x, int& y) const {
  std::istringstream lines(Run({"xdotool", "getwindowgeometry", "--shell", window}));
  std::string line;
  bool haveX = false, haveY = false;
  while (std::getline(lines, line)) {
    if (line.rfind("X=", 0) == 0) x = std::atoi(line.c_str() + 2), haveX = true;
    if (line.rfind("Y=", 0) == 0) y = std::atoi(line.c_str() + 2), haveY = true;
  }
  return haveX && haveY;
}

void XDisplay::Click(int x, int y) const {
  Run({"xdotool", "mousemove", std::to_string(x), std::to_string(y), "click", "1"});
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
}

void XDisplay::Type(const std::string& text) const { Run({"xdotool", "type", "--delay", "5", text}); }

void XDisplay::Key(const std::string& keys) const { Run({"xdotool", "key", keys}); }

std::string XDisplay::Clipboard() const {
  // The program takes the selection when it gets to the key press, not at once.
  for (int attempt = 0; attempt < 150; ++attempt) {
    std::string text = Run({"xclip", "-o", "-selection", "clipboard"});
    if (!text.empty()) return text;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return {};
}

}  // namespace veltrox::testing
