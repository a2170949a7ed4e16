#include "library_loading.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "files.h"

namespace veltrox {
namespace {

namespace fs = std::filesystem;

class LibraryLoading : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "veltrox-load-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ec;
    fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(dir_, ec);
  }
  std::string Put(const std::string& name, std::string_view bytes) {
    std::string path = (dir_ / name).string();
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }

  fs::path dir_;
};

#if defined(VELTROX_FIXTURE_LOADABLE) && defined(VELTROX_FIXTURE_NEEDS_DEP) && defined(VELTROX_FIXTURE_UNDEFINED)

std::string Bytes(const char* path) {
  auto bytes = ReadWholeFile(path);
  EXPECT_TRUE(bytes.has_value()) << path;
  return bytes.value_or("");
}

TEST_F(LibraryLoading, LoadsALibraryAndFindsItsExports) {
  // A copy under the engine's kind of name, to show the name does not matter.
  std::string path = Put("efd.dll", Bytes(VELTROX_FIXTURE_LOADABLE));
  LoadedLibrary library = LoadLibraryFile(path);
  ASSERT_NE(library.handle, nullptr);
  EXPECT_EQ(library.errorCode, 0);
  auto* answer = reinterpret_cast<int (*)()>(FindExport(library.handle, "veltrox_fixture_answer"));
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(answer(), 42);
  EXPECT_EQ(FindExport(library.handle, "InitFiddler"), nullptr);
}

TEST_F(LibraryLoading, NullHandleFindsNothingEvenWhatTheProcessHas) {
  // dlsym(nullptr, ...) would search the whole process and find malloc.
  EXPECT_EQ(FindExport(nullptr, "malloc"), nullptr);
}

TEST_F(LibraryLoading, EachFailureHasItsCode) {
  std::string elf = Bytes(VELTROX_FIXTURE_LOADABLE);
  ASSERT_GT(elf.size(), 64u);
  std::string otherClass = elf;
  otherClass[4] = otherClass[4] == 2 ? 1 : 2;  // EI_CLASS: 32-bit image on a 64-bit machine, or back
  std::string otherMachine = elf;
  otherMachine[18] = static_cast<char>(0xB7);  // e_machine: AArch64
  otherMachine[19] = 0;
  fs::create_directory(dir_ / "folder.dll");

  struct Case {
    const char* name;
    std::string path;
    int code;
  } cases[] = {
      {"missing file", (dir_ / "efd.dll").string(), 126},
      {"missing folder on the way", (dir_ / "nowhere" / "efd.dll").string(), 126},
      {"file where a folder should be", Put("plain", "x") + "/efd.dll", 126},
      {"text file named .dll", Put("text.dll", "never loaded: this is text\n"), 193},
      {"empty file", Put("empty.dll", ""), 193},
      {"library of the other word size", Put("class.dll", otherClass), 193},
      {"library for another machine", Put("machine.dll", otherMachine), 193},
      {"an executable, not a library", "/proc/self/exe", 193},
      {"library whose dependency is missing", VELTROX_FIXTURE_NEEDS_DEP, 126},
      {"library with an unresolved symbol", VELTROX_FIXTURE_UNDEFINED, 127},
      {"a folder", (dir_ / "folder.dll").string(), EISDIR},
  };
  for (const Case& c : cases) {
    LoadedLibrary library = LoadLibraryFile(c.path);
    EXPECT_EQ(library.handle, nullptr) << c.name;
    EXPECT_EQ(library.errorCode, c.code) << c.name;
  }
}

TEST_F(LibraryLoading, UnreadableFileGivesErrno) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads every file";
  std::string path = Put("efd.dll", Bytes(VELTROX_FIXTURE_LOADABLE));
  ASSERT_EQ(chmod(path.c_str(), 0), 0);
  EXPECT_EQ(LoadLibraryFile(path).errorCode, EACCES);
}

TEST_F(LibraryLoading, NameWithoutSlashIsAFileNotASearch) {
  // "libc.so.6" would be found in the system folders by a bare dlopen.
  std::string previous = fs::current_path().string();
  fs::current_path(dir_);
  LoadedLibrary library = LoadLibraryFile("libc.so.6");
  fs::current_path(previous);
  EXPECT_EQ(library.handle, nullptr);
  EXPECT_EQ(library.errorCode, 126);
}

#else

TEST_F(LibraryLoading, FixturesAreBuilt) {
  GTEST_FAIL() << "the fixture libraries (platform/tests/library_loading_fixtures) are not part of this build";
}

#endif

}  // namespace
}  // namespace veltrox
