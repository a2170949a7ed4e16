// The built program, run as a user runs it: from a folder of its own, on a
// private X display, driven from outside with the mouse and keyboard.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "x_display.h"

namespace veltrox {
namespace {

namespace fs = std::filesystem;

class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(display_.Ok()) << "Xvfb is installed by scripts/setup.sh";
    dir_ = fs::temp_directory_path() / ("veltrox-program-" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "home");
    fs::copy_file(VELTROX_PROGRAM, dir_ / "veltrox");
  }
  void TearDown() override {
    Stop();
    fs::remove_all(dir_);
  }

  void Start() {
    pid_ = fork();
    if (pid_ == 0) {
      setenv("DISPLAY", display_.Name().c_str(), 1);
      setenv("HOME", (dir_ / "home").c_str(), 1);
      setenv("XDG_DATA_HOME", (dir_ / "home" / "data").c_str(), 1);
      setenv("XDG_CONFIG_HOME", (dir_ / "home" / "config").c_str(), 1);
      setenv("GSETTINGS_BACKEND", "keyfile", 1);
      unsetenv("QT_QPA_PLATFORM");
      const std::string program = (dir_ / "veltrox").string();
      execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  void Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

  testing::XDisplay display_;
  fs::path dir_;
  pid_t pid_ = -1;
};

TEST_F(ProgramTest, OpensTheWindowCentredAndTakesInput) {
  Start();
  const std::string window = display_.WaitForWindow("Veltrox");
  ASSERT_FALSE(window.empty()) << "no window";
  int x = 0, y = 0;
  ASSERT_TRUE(display_.WindowOrigin(window, x, y));
  EXPECT_EQ(x, (1024 - 779) / 2);
  EXPECT_EQ(y, (600 - 427) / 2);
  // Type into the log box below the greeting lines and read it all back
  // through the clipboard.
  display_.Click(x + 300, y + 400);
  display_.Key("ctrl+End");
  display_.Type("typed by hand");
  display_.Key("ctrl+a");
  display_.Key("ctrl+c");
  const std::string log = display_.Clipboard();
  EXPECT_NE(log.find(" >> [系统] 欢迎使用\n"), std::string::npos) << log;
  EXPECT_NE(log.find(" >> [系统] 端口不能跟项目相同\n"), std::string::npos) << log;
  EXPECT_TRUE(log.ends_with("typed by hand")) << log;
}

}  // namespace
}  // namespace veltrox
