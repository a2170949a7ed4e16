#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace veltrox::testing {

// A private Xvfb display for tests that drive the real program from outside,
// with xdotool for the mouse and keyboard and xclip for the clipboard.
class XDisplay {
 public:
  XDisplay();  // starts Xvfb (1024 x 600); Ok() tells whether it runs
  ~XDisplay();
  XDisplay(const XDisplay&) = delete;
  XDisplay& operator=(const XDisplay&) = delete;

  bool Ok() const { return pid_ > 0 && !name_.empty(); }
  const std::string& Name() const { return name_; }  // ":<n>"

  // The first visible window whose title contains `title`, waiting up to
  // `timeoutMs` for it; "" when none appears. The bound only says when to give
  // up: a sanitizer build on a busy machine takes many seconds to start.
  std::string WaitForWindow(const std::string& title, int timeoutMs = 60000) const;
  bool HasWindow(const std::string& title) const { return WindowCount(title) > 0; }
  int WindowCount(const std::string& title) const;
  // True once `count` visible windows with that title exist.
  bool WaitForWindowCount(const std::string& title, int count, int timeoutMs = 60000) const;
  // Window position on the screen (no window manager: client area = window).
  bool WindowOrigin(const std::string& window, int& x, int& y) const;

  void Click(int x, int y) const;
  void Type(const std::string& text) const;
  void Key(const std::string& keys) const;  // xdotool key names, e.g. "ctrl+a"
  // The clipboard text, waiting up to 15 s for one to be offered.
  std::string Clipboard() const;

  // Runs a command with DISPLAY set to this display; its standard output.
  std::string Run(const std::vector<std::string>& argv) const;

 private:
  pid_t pid_ = -1;
  std::string name_;
};

// Runs argv with the given extra environment; returns its standard output.
std::string RunProgram(const std::vector<std::string>& argv, const std::vector<std::string>& environment = {});

}  // namespace veltrox::testing
