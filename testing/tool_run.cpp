#include "tool_run.h"

#include <signal.h>
#include <sys/wait.h>
#include <linux/close_range.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace veltrox::testing {

namespace fs = std::filesystem;

ToolFolder::ToolFolder(const std::string& programPath, const std::string& tag)
    : dir_(fs::temp_directory_path() / ("veltrox-" + tag + "-" + std::to_string(getpid()))) {
  fs::remove_all(dir_);
  fs::create_directories(Home());
  fs::copy_file(programPath, dir_ / "veltrox");
}

ToolFolder::~ToolFolder() {
  StopAll();
  std::error_code ignored;
  fs::remove_all(dir_, ignored);
}

pid_t ToolFolder::Start(const XDisplay& display) {
  pid_t pid = fork();
  if (pid == 0) {
    setenv("DISPLAY", display.Name().c_str(), 1);
    setenv("HOME", Home().c_str(), 1);
    setenv("XDG_DATA_HOME", DataFolder().c_str(), 1);
    setenv("XDG_CONFIG_HOME", ConfigFolder().c_str(), 1);
    setenv("GSETTINGS_BACKEND", "keyfile", 1);
    unsetenv("QT_QPA_PLATFORM");
    close_range(3, ~0U, 0);  // the test's own sockets stay with the test
    const std::string errors = (dir_ / "stderr.txt").string();
    if (!std::freopen(errors.c_str(), "a", stderr)) _exit(126);
    const std::string program = (dir_ / "veltrox").string();
    execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  if (pid > 0) pids_.push_back(pid);
  return pid;
}

void ToolFolder::StopAll() {
  for (pid_t pid : pids_) {
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
  }
  pids_.clear();
}

bool ToolFolder::Running(pid_t pid) { return waitpid(pid, nullptr, WNOHANG) == 0; }

ToolWindow::ToolWindow(const XDisplay& display, std::string window)
    : display_(display), window_(std::move(window)) {
  ok_ = !window_.empty() && display_.WindowOrigin(window_, x_, y_);
}

void ToolWindow::Click(Spot spot) const { display_.Click(x_ + spot.x, y_ + spot.y); }

void ToolWindow::Fill(Spot box, const std::string& text) const {
  Click(box);
  display_.Key("ctrl+a");
  display_.Type(text);
}

std::string ToolWindow::Log() const {
  Click(kLogBox);
  display_.Key("ctrl+a");
  display_.Key("ctrl+c");
  return display_.Clipboard();
}

std::string ToolWindow::LogWith(const std::string& text) const {
  std::string log;
  for (int attempt = 0; attempt < 150; ++attempt) {
    log = Log();
    if (log.find(text) != std::string::npos) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  return log;
}

}  // namespace veltrox::testing
