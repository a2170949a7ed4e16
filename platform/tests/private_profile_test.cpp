#include "private_profile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "file_size_limit.h"
#include "files.h"

namespace veltrox {
namespace {

TEST(ProfileText, ReadsIgnoringCaseOfSectionAndKey) {
  const std::string ini =
      "; comment\r\n[other]\r\ndata=wrong\r\n[ USER ]\r\n  Data =  value with blanks  \r\nnext=1\r\n";
  EXPECT_EQ(ReadProfileValue(ini, "user", "data"), "value with blanks");
  EXPECT_EQ(ReadProfileValue(ini, "user", "missing"), std::nullopt);
  EXPECT_EQ(ReadProfileValue(ini, "nosection", "data"), std::nullopt);
  EXPECT_EQ(ReadProfileValue("[user]\ndata=\"quoted\"\n", "user", "data"), "quoted");
  EXPECT_EQ(ReadProfileValue("[user]\ndata=\n", "user", "data"), "");
}

TEST(ProfileText, ReadsAValueOfAnyLength) {
  std::string value(200000, 'x');
  EXPECT_EQ(ReadProfileValue("[user]\r\ndata=" + value + "\r\n", "user", "data"), value);
}

TEST(ProfileText, WriteKeepsEverythingElse) {
  struct Case {
    const char* name;
    std::string before, value, after;
  };
  const Case cases[] = {
      {"new file", "", "v", "[user]\r\ndata=v\r\n"},
      {"empty value", "", "", "[user]\r\ndata=\r\n"},
      {"replace in place", "; c\r\n[user]\r\nDATA=old\r\nx=1\r\n[b]\r\ny=2\r\n", "new",
       "; c\r\n[user]\r\ndata=new\r\nx=1\r\n[b]\r\ny=2\r\n"},
      {"key added to section", "[User]\r\nx=1\r\n\r\n[b]\r\ny=2\r\n", "v", "[User]\r\nx=1\r\ndata=v\r\n\r\n[b]\r\ny=2\r\n"},
      {"section appended", "[b]\r\ny=2", "v", "[b]\r\ny=2\r\n[user]\r\ndata=v\r\n"},
      {"unix line ends kept", "[user]\nx=1\n", "v", "[user]\nx=1\ndata=v\n"},
      {"only the first key of the name", "[user]\ndata=1\ndata=2\n", "v", "[user]\ndata=v\ndata=2\n"},
      {"last line ending in a bare CR", "[user]\r\nx=1\r", "v", "[user]\r\nx=1\r\ndata=v\r\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(WriteProfileValue(c.before, "user", "data", c.value), c.after) << c.name;
  }
}

TEST(ProfileText, EveryValueWithoutLineBreaksReadsBackAsWritten) {
  const std::string values[] = {"", "x", " lead", "trail ", "\ttab", "\"q\"", "'q'", "\"", "\"open", " \"both\" ", "a=b;c"};
  for (const auto& value : values) {
    EXPECT_EQ(ReadProfileValue(WriteProfileValue("", "user", "data", value), "user", "data"), value) << value;
  }
  EXPECT_EQ(WriteProfileValue("", "user", "data", " x"), "[user]\r\ndata=\" x\"\r\n");
}

class ProfileFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / ("veltrox-ini-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir_);
    path_ = (dir_ / "p.ini").string();
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::filesystem::path dir_;
  std::string path_;
};

TEST_F(ProfileFile, MissingFileReadsDefaultAndFirstWriteCreatesIt) {
  EXPECT_EQ(GetPrivateProfileString("user", "data", "", path_), "");
  ASSERT_TRUE(WritePrivateProfileString("user", "data", "A----B|", path_));
  EXPECT_EQ(GetPrivateProfileString("user", "data", "", path_), "A----B|");
  EXPECT_EQ(ReadWholeFile(path_), "[user]\r\ndata=A----B|\r\n");
}

TEST_F(ProfileFile, FailedWriteLeavesTheOldFileWhole) {
  ASSERT_TRUE(WritePrivateProfileString("user", "data", "old", path_));
  {
    testing::FileSizeLimit limit(8);  // stands for a full disk, also for root
    EXPECT_FALSE(WritePrivateProfileString("user", "data", std::string(4096, 'n'), path_));
  }
  EXPECT_FALSE(WritePrivateProfileString("user", "data", "new", (dir_ / "p.ini" / "x.ini").string()));
  EXPECT_FALSE(WritePrivateProfileString("user", "data", "a\r\n[user]\r\ndata=b", path_));
  EXPECT_EQ(GetPrivateProfileString("user", "data", "", path_), "old");
  for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
    EXPECT_EQ(entry.path().filename(), "p.ini") << "temporary file left behind";
  }
}

}  // namespace
}  // namespace veltrox
