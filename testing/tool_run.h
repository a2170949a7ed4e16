#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

#include "x_display.h"

namespace veltrox::testing {

// The built program as a user runs it: a copy in a folder of its own (it writes
// its support files and p.ini next to itself), a private HOME with data and
// config folders, GNOME settings in a key file, on a private X display.
class ToolFolder {
 public:
  ToolFolder(const std::string& programPath, const std::string& tag);
  ~ToolFolder();  // stops every copy it started and removes the folder
  ToolFolder(const ToolFolder&) = delete;
  ToolFolder& operator=(const ToolFolder&) = delete;

  const std::filesystem::path& Dir() const { return dir_; }
  std::filesystem::path Home() const { return dir_ / "home"; }
  std::filesystem::path DataFolder() const { return Home() / "data"; }
  std::filesystem::path ConfigFolder() const { return Home() / "config"; }

  // Starts a copy; its standard error goes to Dir()/stderr.txt.
  pid_t Start(const XDisplay& display);
  void StopAll();
  static bool Running(pid_t pid);

 private:
  std::filesystem::path dir_;
  std::vector<pid_t> pids_;
};

// Centres of the window's controls, relative to its client area.
struct Spot {
  int x, y;
};
inline constexpr Spot kSpecifiedBox{721, 93}, kTargetBox{721, 125}, kAddButton{698, 172}, kPortBox{717, 248},
    kStartButton{696, 284}, kStopButton{696, 335}, kClearButton{696, 388}, kLogBox{300, 400};

// Drives one window of the tool from outside.
class ToolWindow {
 public:
  ToolWindow(const XDisplay& display, std::string window);
  bool Ok() const { return ok_; }
  void Click(Spot spot) const;
  // Replaces a box's text with `text`.
  void Fill(Spot box, const std::string& text) const;
  // The log box's whole text, read through the clipboard.
  std::string Log() const;
  // The log once it holds `text`, or what it holds after half a minute.
  std::string LogWith(const std::string& text) const;

 private:
  const XDisplay& display_;
  std::string window_;
  int x_ = 0, y_ = 0;
  bool ok_ = false;
};

}  // namespace veltrox::testing
