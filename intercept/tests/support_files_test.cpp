#include "support_files.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "embedded/TestFiles.h"
#include "engine_bridge.h"
#include "files.h"
#include "library_loading.h"
#include "test_support.h"
#include "text_encoding.h"

namespace veltrox {
namespace {

using testing::ScopedEnv;
using testing::TempDir;

std::string Bytes(const std::string& path) {
  auto bytes = ReadWholeFile(path);
  EXPECT_TRUE(bytes) << path;
  return bytes.value_or("");
}

std::set<std::string> Names(const std::filesystem::path& dir) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) names.insert(entry.path().filename().string());
  return names;
}

const EmbeddedFile& Carried(std::string_view name) {
  for (const EmbeddedFile& file : embedded::TestFiles()) {
    if (file.name == name) return file;
  }
  static const EmbeddedFile none{"", nullptr, 0};
  ADD_FAILURE() << "not carried: " << name;
  return none;
}

TEST(EmbeddedFiles, CarryTheBuiltBytesInOrder) {
  auto files = embedded::TestFiles();
  ASSERT_EQ(files.size(), 3u);
  EXPECT_STREQ(files[0].name, "blob.bin");
  EXPECT_STREQ(files[1].name, "efd.dll");
  EXPECT_STREQ(files[2].name, "ssleay32.dll");
  EXPECT_EQ(files[0].Bytes(), Bytes(VELTROX_TEST_BLOB));
  EXPECT_EQ(files[1].Bytes(), Bytes(VELTROX_FAKE_ENGINE));  // a target's file, rebuilt with it
  EXPECT_EQ(files[2].Bytes(), Bytes(VELTROX_STAND_IN));
  EXPECT_NE(files[2].Bytes().find("never loaded"), std::string_view::npos);
  EXPECT_GT(files[1].size, 1000u);
}

TEST(WriteSupportFiles, WritesEachFileExactly) {
  TempDir dir;
  std::ofstream(dir / "efd.dll") << "an older, longer engine library than the one carried now ...........";
  auto written = WriteSupportFiles(dir.Path().string(), embedded::TestFiles());
  EXPECT_EQ(written, (std::vector<std::string>{"blob.bin", "efd.dll", "ssleay32.dll"}));
  for (const EmbeddedFile& file : embedded::TestFiles()) EXPECT_EQ(Bytes(dir / file.name), file.Bytes()) << file.name;
  EXPECT_EQ(Names(dir.Path()), (std::set<std::string>{"blob.bin", "efd.dll", "ssleay32.dll"}));  // no leftovers
}

TEST(WriteSupportFiles, AFileThatCannotBeWrittenIsSkipped) {
  TempDir dir;
  std::filesystem::create_directories(dir.Path() / "efd.dll" / "in-the-way");
  auto written = WriteSupportFiles(dir.Path().string(), embedded::TestFiles());
  EXPECT_EQ(written, (std::vector<std::string>{"blob.bin", "ssleay32.dll"}));
  EXPECT_TRUE(std::filesystem::is_directory(dir.Path() / "efd.dll"));
  EXPECT_EQ(Bytes(dir / "ssleay32.dll"), Carried("ssleay32.dll").Bytes());
  EXPECT_EQ(Names(dir.Path()), (std::set<std::string>{"blob.bin", "efd.dll", "ssleay32.dll"}));

  EXPECT_TRUE(WriteSupportFiles((dir.Path() / "missing").string(), embedded::TestFiles()).empty());
}

TEST(WriteSupportFiles, ARunningCopyKeepsTheLibraryItLoaded) {
  // The first copy of the program has efd.dll mapped; the second rewrites it.
  TempDir dir;
  const EmbeddedFile engine = Carried("efd.dll");
  ASSERT_EQ(WriteSupportFiles(dir.Path().string(), std::span(&engine, 1)).size(), 1u);
  LoadedLibrary first = LoadLibraryFile(dir / "efd.dll");
  ASSERT_NE(first.handle, nullptr) << first.errorCode;

  const EmbeddedFile replacement{"efd.dll", Carried("blob.bin").data, Carried("blob.bin").size};
  ASSERT_EQ(WriteSupportFiles(dir.Path().string(), std::span(&replacement, 1)).size(), 1u);
  EXPECT_EQ(Bytes(dir / "efd.dll"), replacement.Bytes());

  // Still runs from the old file: an overwrite in place would have changed the
  // pages under it.
  auto* calls = reinterpret_cast<const char* (*)()>(FindExport(first.handle, "FakeEngineCalls"));
  ASSERT_NE(calls, nullptr);
  EngineBridge(first.handle).CloseFiddler();
  EXPECT_NE(std::string(calls()).find("CloseFiddler;"), std::string::npos);
}

TEST(WriteSupportFiles, FilesCanBeRun) {
  TempDir dir;
  WriteSupportFiles(dir.Path().string(), embedded::TestFiles());
  struct stat st {};
  ASSERT_EQ(stat((dir / "efd.dll").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0755u);
}

class ConstructTest : public ::testing::Test {
 protected:
  void TearDown() override { EngineBridge::Teardown(); }
  TempDir dir_;
};

TEST_F(ConstructTest, WritesLoadsAndInstallsOnce) {
  ASSERT_EQ(EngineBridge::Construct(embedded::TestFiles(), dir_.Path().string()), 0);
  EngineBridge* bridge = EngineBridge::Instance();
  ASSERT_NE(bridge, nullptr);
  EXPECT_NE(bridge->ModuleHandle(), nullptr);
  EXPECT_EQ(bridge->LibraryPath(), dir_ / "efd.dll");
  EXPECT_EQ(Bytes(dir_ / "blob.bin"), Carried("blob.bin").Bytes());
  EXPECT_EQ(bridge->InitFiddler(7788, nullptr), 1);

  // Made once: a second construction changes nothing.
  TempDir other;
  EXPECT_EQ(EngineBridge::Construct({}, other.Path().string()), 0);
  EXPECT_EQ(EngineBridge::Instance(), bridge);

  EngineBridge::Teardown();
  EXPECT_EQ(EngineBridge::Instance(), nullptr);
}

TEST_F(ConstructTest, DeletedEngineIsWrittenAgainBeforeItIsLoaded) {
  ASSERT_EQ(EngineBridge::Construct(embedded::TestFiles(), dir_.Path().string()), 0);
  EngineBridge::Teardown();
  std::filesystem::remove(dir_.Path() / "efd.dll");
  EXPECT_EQ(EngineBridge::Construct(embedded::TestFiles(), dir_.Path().string()), 0);
  EXPECT_NE(EngineBridge::Instance()->ModuleHandle(), nullptr);
}

TEST_F(ConstructTest, LoadFailuresComeBackAsCodes) {
  const EmbeddedFile text{"efd.dll", reinterpret_cast<const unsigned char*>("not a library"), 13};
  struct Case {
    const char* name;
    std::vector<EmbeddedFile> files;
    std::function<void(const std::filesystem::path&)> prepare;
    int code;
  } cases[] = {
      {"nothing carried, nothing on disk", {}, [](auto&) {}, 126},
      {"carried engine is not a library", {text}, [](auto&) {}, 193},
      {"unwritable over an unloadable one", {Carried("efd.dll")},
       [](const std::filesystem::path& d) { std::filesystem::create_directories(d / "efd.dll" / "x"); }, EISDIR},
  };
  for (const Case& c : cases) {
    TempDir dir;
    c.prepare(dir.Path());
    EXPECT_EQ(EngineBridge::Construct(c.files, dir.Path().string()), c.code) << c.name;
    ASSERT_NE(EngineBridge::Instance(), nullptr) << c.name;
    EXPECT_EQ(EngineBridge::Instance()->ModuleHandle(), nullptr) << c.name;
    EXPECT_EQ(EngineBridge::Instance()->InitFiddler(7788, nullptr), 0) << c.name;
    EngineBridge::Teardown();
  }
}

TEST(StartUpMessage, CodeFollowsTheTextDirectly) {
  EXPECT_EQ(Gb18030ToUtf8(LoadFailureMessage(126)), "无法加载efd.dll，错误值：126");
  EXPECT_EQ(Gb18030ToUtf8(LoadFailureMessage(193)), "无法加载efd.dll，错误值：193");
  EXPECT_EQ(Gb18030ToUtf8(LoadFailureTitle()), "注意");
}

TEST(DataFolder, CreatedWithWhatIsMissingAboveIt) {
  TempDir dir;
  {
    ScopedEnv data("XDG_DATA_HOME", dir / "new/share");
    CreateDataFolder();
    CreateDataFolder();  // exists already: nothing happens
  }
  EXPECT_TRUE(std::filesystem::is_directory(dir.Path() / "new/share/fiddler"));
  {
    // A file where the folder should be: ignored.
    std::ofstream(dir / "blocked");
    ScopedEnv data("XDG_DATA_HOME", dir / "blocked");
    CreateDataFolder();
  }
  EXPECT_TRUE(std::filesystem::is_regular_file(dir.Path() / "blocked"));
}

}  // namespace
}  // namespace veltrox
