// The built program, run as a user runs it: from a folder of its own, on a
// private X display, driven from outside with the mouse and keyboard.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "tool_run.h"
#include "x_display.h"

namespace veltrox {
namespace {

namespace fs = std::filesystem;
using testing::ToolFolder;
using testing::ToolWindow;

class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(display_.Ok()) << "Xvfb is installed by scripts/setup.sh"; }

  static std::string Bytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  testing::XDisplay display_;
  ToolFolder tool_{VELTROX_PROGRAM, "program"};
};

const char* const kCarried[] = {"FiddlerCore4.dll", "efd.dll", "BCMakeCert.dll", "CertMaker.dll",
                                "ssleay32.dll",     "libeay32.dll", "makecert.exe"};

fs::path CarriedSource(const std::string& name) {
  if (name == "ssleay32.dll" || name == "libeay32.dll") return fs::path(VELTROX_STAND_INS) / name;
  return fs::path(VELTROX_CARRIED) / name;
}

TEST_F(ProgramTest, OpensTheWindowCentredWithItsGreetingLines) {
  tool_.Start(display_);
  const std::string window = display_.WaitForWindow("Veltrox");
  ASSERT_FALSE(window.empty()) << "no window";
  int x = 0, y = 0;
  ASSERT_TRUE(display_.WindowOrigin(window, x, y));
  EXPECT_EQ(x, (1024 - 779) / 2);
  EXPECT_EQ(y, (600 - 427) / 2);
  // Type into the log box below the greeting lines and read it all back.
  ToolWindow tool(display_, window);
  tool.Click(testing::kLogBox);
  display_.Key("ctrl+End");
  display_.Type("typed by hand");
  const std::string log = tool.Log();
  EXPECT_NE(log.find(" >> [系统] 欢迎使用\n"), std::string::npos) << log;
  EXPECT_NE(log.find(" >> [系统] 端口不能跟项目相同\n"), std::string::npos) << log;
  EXPECT_TRUE(log.ends_with("typed by hand")) << log;
}

TEST_F(ProgramTest, WritesTheSevenFilesInOrderAndLoadsTheEngine) {
  fs::remove(tool_.Dir() / "efd.dll");
  tool_.Start(display_);
  ASSERT_FALSE(display_.WaitForWindow("Veltrox工具").empty()) << "the engine did not load";
  fs::file_time_type previous = fs::file_time_type::min();
  for (const char* name : kCarried) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(fs::exists(tool_.Dir() / name));
    EXPECT_EQ(Bytes(tool_.Dir() / name), Bytes(CarriedSource(name)));
    const auto written = fs::last_write_time(tool_.Dir() / name);
    EXPECT_LE(previous, written) << "written out of order";
    previous = written;
  }
  for (const auto& entry : fs::directory_iterator(tool_.Dir())) {
    EXPECT_EQ(entry.path().filename().string().find(".tmp."), std::string::npos) << entry.path();
  }
  EXPECT_TRUE(fs::is_directory(tool_.DataFolder() / "fiddler")) << "the data folder";
}

TEST_F(ProgramTest, ASecondCopyStartsWhileTheFirstKeepsRunning) {
  const pid_t first = tool_.Start(display_);
  const std::string firstWindow = display_.WaitForWindow("Veltrox工具");
  ASSERT_FALSE(firstWindow.empty());
  const pid_t second = tool_.Start(display_);
  EXPECT_TRUE(display_.WaitForWindowCount("Veltrox工具", 2)) << "the second copy did not open its window";
  EXPECT_TRUE(ToolFolder::Running(second));
  kill(second, SIGTERM);
  waitpid(second, nullptr, 0);
  EXPECT_TRUE(ToolFolder::Running(first));
  EXPECT_NE(ToolWindow(display_, firstWindow).Log().find("[系统] 欢迎使用"), std::string::npos)
      << "the first copy still answers";
}

TEST_F(ProgramTest, AnEngineThatCannotBeLoadedEndsTheProgramWithAMessage) {
  // A folder where efd.dll should be can be neither replaced nor loaded.
  fs::create_directory(tool_.Dir() / "efd.dll");
  const pid_t pid = tool_.Start(display_);
  const std::string box = display_.WaitForWindow("注意");
  ASSERT_FALSE(box.empty()) << "no message box";
  EXPECT_FALSE(display_.HasWindow("Veltrox工具")) << "the main window must never open";
  // The box's text is echoed on standard error, where a test can read it.
  const std::string text = Bytes(tool_.Dir() / "stderr.txt");
  EXPECT_NE(text.find("无法加载efd.dll，错误值：21\n"), std::string::npos) << text;
  int x = 0, y = 0;
  ASSERT_TRUE(display_.WindowOrigin(box, x, y));
  display_.Click(x + 5, y + 5);  // no window manager gives it the focus
  display_.Key("Return");
  int status = 0;
  for (int i = 0; i < 100 && waitpid(pid, &status, WNOHANG) == 0; ++i) usleep(100000);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 0);
  EXPECT_FALSE(display_.HasWindow("Veltrox工具"));
}

TEST_F(ProgramTest, KilledAroundASaveLeavesTheOldTableOrTheNew) {
  std::string table;
  for (int i = 0; i < 400; ++i) {
    table += "http://127.0.0.1:5173/api/" + std::to_string(i) + "----https://api.example.com/v1/" + std::to_string(i) + "|";
  }
  {
    std::ofstream out(tool_.Dir() / "p.ini", std::ios::binary);
    out << "[user]\r\ndata=" << table << "\r\n";
  }
  std::mt19937 random(2026);
  for (int round = 0; round < 6; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const std::string before = Bytes(tool_.Dir() / "p.ini");
    const std::string specified = "http://127.0.0.1:5173/new/" + std::to_string(round);
    const std::string target = "https://api.example.com/new/" + std::to_string(round);
    const std::string added = "[user]\r\ndata=" + table + specified + "----" + target + "|\r\n";
    const pid_t pid = tool_.Start(display_);
    const std::string window = display_.WaitForWindow("Veltrox工具");
    ASSERT_FALSE(window.empty()) << Bytes(tool_.Dir() / "stderr.txt");
    ToolWindow tool(display_, window);
    tool.Fill(testing::kSpecifiedBox, specified);
    tool.Fill(testing::kTargetBox, target);
    // The kill lands at a random moment while the click goes in and the rules are saved.
    std::thread click([&] { tool.Click(testing::kAddButton); });
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 40000));
    kill(pid, SIGKILL);
    click.join();
    waitpid(pid, nullptr, 0);
    const std::string after = Bytes(tool_.Dir() / "p.ini");
    EXPECT_TRUE(after == before || after == added) << "p.ini after the kill:\n" << after.substr(0, 300);
    if (after == added) table += specified + "----" + target + "|";
  }
}

}  // namespace
}  // namespace veltrox
