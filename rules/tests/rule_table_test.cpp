#include "rule_table.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "files.h"
#include "file_size_limit.h"
#include "text_encoding.h"
#include "text_scan.h"

namespace veltrox {
namespace {

namespace fs = std::filesystem;

class RuleTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("veltrox-rules-" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    path_ = (dir_ / "p.ini").string();
  }
  void TearDown() override { fs::remove_all(dir_); }

  void WriteIni(const std::string& bytes) { ASSERT_TRUE(WriteFileAtomically(path_, bytes)); }
  std::string IniBytes() { return ReadWholeFile(path_).value_or("<missing>"); }

  static std::string Rows(const RuleTable& table) {
    std::string out;
    for (int row = 0; row < table.RowCount(); ++row) {
      out += table.RowText(row, 0) + "\t" + table.RowText(row, 1) + "\t" + table.RowText(row, 2) + "\n";
    }
    return out;
  }

  fs::path dir_;
  std::string path_;
};

// Each tests/data/<case>.ini is loaded, compared with <case>.expected (one
// "number TAB specified TAB target" line per row), saved with every row checked,
// and the file compared byte for byte with <case>.saved.ini.
TEST_F(RuleTableTest, GoldenFilesLoadAndSaveExactly) {
  const fs::path data = VELTROX_RULES_DATA;
  int cases = 0;
  for (const auto& entry : fs::directory_iterator(data)) {
    const std::string file = entry.path().filename().string();
    if (!file.ends_with(".expected")) continue;
    const std::string name = file.substr(0, file.size() - std::string(".expected").size());
    SCOPED_TRACE(name);
    ++cases;
    fs::remove(path_);
    if (auto ini = ReadWholeFile((data / (name + ".ini")).string())) WriteIni(*ini);

    RuleTable table(path_);
    table.LoadRules();
    EXPECT_EQ(Rows(table), ReadWholeFile(entry.path().string()).value());

    for (int row = 0; row < table.RowCount(); ++row) table.SetCheckMark(row, true);
    EXPECT_TRUE(table.SaveRules());
    EXPECT_EQ(IniBytes(), ReadWholeFile((data / (name + ".saved.ini")).string()).value());
    for (int row = 0; row < table.RowCount(); ++row) EXPECT_FALSE(table.CheckMark(row));
  }
  EXPECT_GE(cases, 1) << "no golden files found in " << data;
}

TEST_F(RuleTableTest, FindRuleIsExactAndTheUpperRowWins) {
  WriteIni("[user]\r\ndata=http://a/x----http://t1|http://a/x----http://t2|http://b----http://a/x|\r\n");
  RuleTable table(path_);
  EXPECT_EQ(table.FindRule("http://a/x", 1), -1) << "empty before loading";
  table.LoadRules();
  struct Case {
    const char* text;
    int column;
    int expected;
  };
  const Case cases[] = {
      {"http://a/x", 1, 0},  {"http://A/x", 1, -1}, {"http://a/x/", 1, -1}, {"http://a/", 1, -1},
      {" http://a/x", 1, -1}, {"http://a/x", 2, 2},  {"http://t2", 2, 1},    {"http://t2", 1, -1},
      {"1", 0, -1},
  };
  for (const auto& c : cases) EXPECT_EQ(table.FindRule(c.text, c.column), c.expected) << c.text;
  EXPECT_EQ(table.LookUp("http://a/x"), (RedirectRule{"http://a/x", "http://t1"}));
  EXPECT_EQ(table.LookUp("http://A/x"), std::nullopt);
}

TEST_F(RuleTableTest, CheckMarksAreNeitherSavedNorLoaded) {
  WriteIni("[user]\r\ndata=A----B|\r\n");
  RuleTable table(path_);
  table.LoadRules();
  const std::string before = IniBytes();
  table.setData(table.index(0, 0), Qt::Checked, Qt::CheckStateRole);
  EXPECT_TRUE(table.CheckMark(0));
  EXPECT_EQ(table.data(table.index(0, 0), Qt::CheckStateRole).toInt(), Qt::Checked);
  EXPECT_FALSE(table.setData(table.index(0, 1), QStringLiteral("x"), Qt::EditRole)) << "addresses are not editable in place";
  EXPECT_EQ(IniBytes(), before);
  table.LoadRules();
  EXPECT_FALSE(table.CheckMark(0));
}

TEST_F(RuleTableTest, ALargeTableLosesNoRule) {
  RuleTable table(path_);
  for (int i = 0; i < 1000; ++i) {
    table.AppendRow(std::to_string(i + 1), "http://127.0.0.1:8080/api/" + std::to_string(i),
                    "https://api.example.com/v1/resource/" + std::to_string(i));
  }
  ASSERT_GT(table.StoredValue().size(), 10239u);
  table.SaveRules();
  ASSERT_EQ(table.RowCount(), 1000);
  EXPECT_EQ(table.RowText(999, 0), "1000");
  EXPECT_EQ(table.RowText(999, 2), "https://api.example.com/v1/resource/999");
}

TEST_F(RuleTableTest, AReloadPublishesOnceAtItsEnd) {
  WriteIni("[user]\r\ndata=old----x|\r\n");
  RuleTable table(path_);
  table.LoadRules();
  WriteIni("[user]\r\ndata=a----1|b----2|c----3|\r\n");

  std::vector<std::size_t> seenDuringLoad;
  QObject::connect(&table, &QAbstractItemModel::rowsInserted,
                   [&] { seenDuringLoad.push_back(table.Snapshot()->rules.size()); });
  table.LoadRules();
  EXPECT_THAT(seenDuringLoad, ::testing::Each(1u)) << "a half-filled table was published";
  EXPECT_THAT(table.Snapshot()->rules, ::testing::ElementsAre(RedirectRule{"a", "1"}, RedirectRule{"b", "2"},
                                                       RedirectRule{"c", "3"}));
  // A snapshot taken earlier stays whole while the table changes.
  RuleSnapshot held = table.Snapshot();
  table.DeleteRow(0);
  EXPECT_EQ(held->rules.size(), 3u);
  EXPECT_EQ(table.Snapshot()->rules.size(), 2u);
  EXPECT_EQ(table.LookUp("a"), std::nullopt);
  EXPECT_EQ(table.LookUp("b"), (RedirectRule{"b", "2"}));
}

TEST_F(RuleTableTest, FailedSaveKeepsTheOldFileAndShowsWhatItHolds) {
  WriteIni("[user]\r\ndata=A----B|\r\n");
  RuleTable table(path_);
  table.LoadRules();
  table.AppendRow("2", "C", "D");
  {
    // A file-size limit makes the write fail as a full disk would, also for root.
    testing::FileSizeLimit limit(8);
    EXPECT_FALSE(table.SaveRules());
  }
  EXPECT_EQ(IniBytes(), "[user]\r\ndata=A----B|\r\n");
  EXPECT_EQ(Rows(table), "1\tA\tB\n") << "the reload shows what the file still holds";
}

TEST_F(RuleTableTest, ModelShowsHeadersAlignmentAndUtf8Text) {
  WriteIni(Gb(u8"[user]\r\ndata=http://本地/----http://远端/|\r\n"));
  RuleTable table(path_);
  table.LoadRules();
  EXPECT_EQ(table.headerData(0, Qt::Horizontal).toString(), QStringLiteral("序号"));
  EXPECT_EQ(table.headerData(1, Qt::Horizontal).toString(), QStringLiteral("指定地址(本地URL)"));
  EXPECT_EQ(table.headerData(2, Qt::Horizontal).toString(), QStringLiteral("目标地址(外网URL)"));
  EXPECT_EQ(table.headerData(0, Qt::Horizontal, Qt::TextAlignmentRole).toInt() & Qt::AlignHorizontal_Mask, Qt::AlignLeft);
  EXPECT_EQ(table.headerData(1, Qt::Horizontal, Qt::TextAlignmentRole).toInt() & Qt::AlignHorizontal_Mask, Qt::AlignHCenter);
  EXPECT_EQ(table.data(table.index(0, 1)).toString(), QStringLiteral("http://本地/"));
  EXPECT_EQ(table.data(table.index(0, 2)).toString(), QStringLiteral("http://远端/"));
  EXPECT_TRUE(table.flags(table.index(0, 0)) & Qt::ItemIsUserCheckable);
  EXPECT_FALSE(table.flags(table.index(0, 1)) & Qt::ItemIsUserCheckable);
}

}  // namespace
}  // namespace veltrox
