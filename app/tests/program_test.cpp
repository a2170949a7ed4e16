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

  // Starts the program in the test's folder; returns its process.
  pid_t Start() {
    pid_t pid = fork();
    if (pid == 0) {
      setenv("DISPLAY", display_.Name().c_str(), 1);
      setenv("HOME", (dir_ / "home").c_str(), 1);
      setenv("XDG_DATA_HOME", (dir_ / "home" / "data").c_str(), 1);
      setenv("XDG_CONFIG_HOME", (dir_ / "home" / "config").c_str(), 1);
      setenv("GSETTINGS_BACKEND", "keyfile", 1);
      unsetenv("QT_QPA_PLATFORM");
      const std::string errors = (dir_ / "stderr.txt").string();
      freopen(errors.c_str(), "a", stderr);
      const std::string program = (dir_ / "veltrox").string();
      execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    pids_.push_back(pid);
    return pid;
  }
  void Stop() {
    for (pid_t pid : pids_) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
    pids_.clear();
  }
  static bool Running(pid_t pid) { return waitpid(pid, nullptr, WNOHANG) == 0; }

  // The log box's whole text, read from outside through the clipboard.
  std::string LogText(const std::string& window) {
    int x = 0, y = 0;
    if (!display_.WindowOrigin(window, x, y)) return {};
    display_.Click(x + 300, y + 400);
    display_.Key("ctrl+a");
    display_.Key("ctrl+c");
    return display_.Clipboard();
  }

  static std::string Bytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  testing::XDisplay display_;
  fs::path dir_;
  std::vector<pid_t> pids_;
};

const char* const kCarried[] = {"FiddlerCore4.dll", "efd.dll", "BCMakeCert.dll", "CertMaker.dll",
                                "ssleay32.dll",     "libeay32.dll", "makecert.exe"};

fs::path CarriedSource(const std::string& name) {
  if (name == "ssleay32.dll" || name == "libeay32.dll") return fs::path(VELTROX_STAND_INS) / name;
  return fs::path(VELTROX_CARRIED) / name;
}

TEST_F(ProgramTest, WritesTheSevenFilesInOrderAndLoadsTheEngine) {
  fs::remove(dir_ / "efd.dll");
  Start();
  ASSERT_FALSE(display_.WaitForWindow("Veltrox工具").empty()) << "the engine did not load";
  fs::file_time_type previous = fs::file_time_type::min();
  for (const char* name : kCarried) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(fs::exists(dir_ / name));
    EXPECT_EQ(Bytes(dir_ / name), Bytes(CarriedSource(name)));
    const auto written = fs::last_write_time(dir_ / name);
    EXPECT_LE(previous, written) << "written out of order";
    previous = written;
  }
  for (const auto& entry : fs::directory_iterator(dir_)) {
    EXPECT_EQ(entry.path().filename().string().find(".tmp."), std::string::npos) << entry.path();
  }
  EXPECT_TRUE(fs::is_directory(dir_ / "home" / "data" / "fiddler")) << "the data folder";
}

TEST_F(ProgramTest, ASecondCopyStartsWhileTheFirstKeepsRunning) {
  const pid_t first = Start();
  const std::string firstWindow = display_.WaitForWindow("Veltrox工具");
  ASSERT_FALSE(firstWindow.empty());
  const pid_t second = Start();
  EXPECT_TRUE(display_.WaitForWindowCount("Veltrox工具", 2)) << "the second copy did not open its window";
  EXPECT_TRUE(Running(second));
  kill(second, SIGTERM);
  waitpid(second, nullptr, 0);
  EXPECT_TRUE(Running(first));
  EXPECT_NE(LogText(firstWindow).find("[系统] 欢迎使用"), std::string::npos) << "the first copy still answers";
}

TEST_F(ProgramTest, AnEngineThatCannotBeLoadedEndsTheProgramWithAMessage) {
  // A folder where efd.dll should be can be neither replaced nor loaded.
  fs::create_directory(dir_ / "efd.dll");
  const pid_t pid = Start();
  const std::string box = display_.WaitForWindow("注意");
  ASSERT_FALSE(box.empty()) << "no message box";
  EXPECT_FALSE(display_.HasWindow("Veltrox工具")) << "the main window must never open";
  // The box's text is echoed on standard error, where a test can read it.
  const std::string text = Bytes(dir_ / "stderr.txt");
  EXPECT_NE(text.find("无法加载efd.dll，错误值：21\n"), std::string::npos) << text;
  int x = 0, y = 0;
  ASSERT_TRUE(display_.WindowOrigin(box, x, y));
  display_.Click(x + 5, y + 5);  // no window manager gives it the focus
  display_.Key("Return");
  int status = 0;
  for (int i = 0; i < 100 && waitpid(pid, &status, WNOHANG) == 0; ++i) usleep(100000);
  pids_.clear();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 0);
  EXPECT_FALSE(display_.HasWindow("Veltrox工具"));
}

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
