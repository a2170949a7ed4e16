#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <thread>

#include "private_profile.h"
#include "rule_table.h"

namespace veltrox {
namespace {

namespace fs = std::filesystem;

std::string Stored(const std::string& prefix, int count) {
  std::string value;
  for (int i = 0; i < count; ++i) {
    value += "http://127.0.0.1:5173/" + prefix + std::to_string(i) + "----https://api.example.com/" + prefix +
             std::to_string(i) + "|";
  }
  return value;
}

// After a kill at any moment of a save, p.ini holds one whole table or the
// other, never a mix, a cut value or nothing.
TEST(SaveUnderKill, TheFileIsAlwaysTheOldTableOrTheNew) {
  const fs::path dir = fs::temp_directory_path() / ("veltrox-kill-" + std::to_string(getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::string ini = (dir / "p.ini").string();
  const std::string a = Stored("a", 200);
  const std::string b = Stored("b", 300);
  std::mt19937 random(12345);

  for (int round = 0; round < 25; ++round) {
    pid_t pid = fork();
    if (pid == 0) {
      execl(VELTROX_SAVE_LOOP, VELTROX_SAVE_LOOP, ini.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    ASSERT_GT(pid, 0);
    while (!fs::exists(ini)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the saver ended on its own";
    const std::string value = GetPrivateProfileString("user", "data", "<none>", ini);
    EXPECT_TRUE(value == a || value == b) << "round " << round << ": " << value.size() << " bytes";
  }
  fs::remove_all(dir);
}

}  // namespace
}  // namespace veltrox
