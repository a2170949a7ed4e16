// The window's commands, driven on the real window with a loopback clock and a
// stand-in engine library that records every call it receives.
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>

#include "activity_log.h"
#include "engine_bridge.h"
#include "file_size_limit.h"
#include "files.h"
#include "library_loading.h"
#include "main_window.h"
#include "rule_table.h"
#include "test_server.h"
#include "text_encoding.h"

namespace veltrox {
namespace {

namespace fs = std::filesystem;

class CommandsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    engineLibrary_ = LoadLibraryFile(VELTROX_FAKE_ENGINE).handle;
    ASSERT_NE(engineLibrary_, nullptr);
  }

  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("veltrox-commands-" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    setenv("XDG_DATA_HOME", (dir_ / "data").c_str(), 1);
    iniPath_ = (dir_ / "p.ini").string();
    ASSERT_TRUE(WriteFileAtomically(iniPath_, "[user]\r\ndata=http://a/1----http://r/1|http://a/2----http://r/2|\r\n"));
    clock_.SetReply([] {
      testing::Reply reply;
      reply.headers = {{"Date", "Wed, 27 May 2020 01:02:03 GMT"}};
      return reply;
    }());
    SetNetworkClockAddress(clock_.Url("/"));
    Fake<void()>("FakeEngineReset")();
    rules_ = std::make_unique<RuleTable>(iniPath_);
    window_ = std::make_unique<MainWindow>(*rules_, engine_);
    window_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window_.get()));
    QTRY_COMPARE(rules_->RowCount(), 2);
    Fake<void()>("FakeEngineClearCalls")();
  }

  void TearDown() override {
    window_.reset();
    rules_.reset();
    fs::remove_all(dir_);
  }

  template <typename Function>
  static Function* Fake(const char* name) {
    return reinterpret_cast<Function*>(FindExport(engineLibrary_, name));
  }
  static std::string Calls() { return Fake<const char*()>("FakeEngineCalls")(); }

  template <typename Widget>
  Widget* Find(const char* name) {
    return window_->findChild<Widget*>(QString::fromUtf8(name));
  }
  QLineEdit* Box(const char* name) { return Find<QLineEdit>(name); }
  QString Log() { return Find<QPlainTextEdit>("编辑框_日志")->toPlainText(); }
  QString LastLine() {
    QStringList lines = Log().split('\n', Qt::SkipEmptyParts);
    return lines.isEmpty() ? QString() : lines.back();
  }
  void Click(const char* button) { QTest::mouseClick(Find<QPushButton>(button), Qt::LeftButton); }
  std::string Ini() { return ReadWholeFile(iniPath_).value_or(""); }

  static inline void* engineLibrary_ = nullptr;
  testing::TestServer clock_;
  EngineBridge engine_{engineLibrary_};
  fs::path dir_;
  std::string iniPath_;
  std::unique_ptr<RuleTable> rules_;
  std::unique_ptr<MainWindow> window_;
};

TEST_F(CommandsTest, GreetsWithNetworkTimeThenShowsTheRules) {
  EXPECT_EQ(Log(), QStringLiteral("2020/5/27 09:02:03 >> [系统] 欢迎使用\n"
                                  "2020/5/27 09:02:03 >> [系统] 端口不能跟项目相同\n"));
  EXPECT_EQ(clock_.RequestCount(), 2u);
  EXPECT_EQ(clock_.Requests()[0].method, "HEAD");
  EXPECT_EQ(rules_->RowText(1, 1), "http://a/2");
}

TEST_F(CommandsTest, AddRuleRefusesOrAddsAsTheInputDeserves) {
  struct Case {
    const char* name;
    const char* specified;
    const char* target;
    const char* message;
    bool added;
  };
  const Case cases[] = {
      {"specified empty", "", "http://r/9", "添加失败! 内容不能为空", false},
      {"target empty", "http://a/9", "", "添加失败! 内容不能为空", false},
      {"blanks are not empty", " ", " ", "添加成功!", true},
      {"specified in use", "http://a/1", "http://r/9", "添加失败! 已存在数据", false},
      {"target in use", "http://a/9", "http://r/2", "添加失败! 已存在数据", false},
      {"specified equal to another target", "http://r/1", "http://r/8", "添加成功!", true},
      {"letter case differs", "http://A/1", "http://R/1", "添加成功!", true},
      {"bar in an address", "http://a/x|y", "http://r/7", "添加失败! 地址不能包含 | 或 ----", false},
      {"dashes in an address", "http://a/7", "http://r/----", "添加失败! 地址不能包含 | 或 ----", false},
      {"specified ending in a dash", "http://a/7-", "http://r/7", "添加失败! 指定地址不能以 - 结尾", false},
      {"bar inside a character", "http://a/亅", "http://r/亅", "添加成功!", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    rules_->SetCheckMark(0, true);
    const int rowsBefore = rules_->RowCount();
    const std::string iniBefore = Ini();
    Box("编辑框_指定地址")->setText(QString::fromUtf8(c.specified));
    Box("编辑框_目标地址")->setText(QString::fromUtf8(c.target));
    Click("按钮4");
    EXPECT_TRUE(LastLine().endsWith(QStringLiteral(" >> ") + QString::fromUtf8(c.message))) << LastLine().toStdString();
    if (c.added) {
      ASSERT_EQ(rules_->RowCount(), rowsBefore + 1);
      EXPECT_EQ(rules_->RowText(rowsBefore, 0), std::to_string(rowsBefore + 1));
      EXPECT_EQ(QString::fromStdString(Gb18030ToUtf8(rules_->RowText(rowsBefore, 1))), QString::fromUtf8(c.specified));
      EXPECT_EQ(QString::fromStdString(Gb18030ToUtf8(rules_->RowText(rowsBefore, 2))), QString::fromUtf8(c.target));
      EXPECT_TRUE(Box("编辑框_指定地址")->text().isEmpty());
      EXPECT_TRUE(Box("编辑框_目标地址")->text().isEmpty());
      EXPECT_FALSE(rules_->CheckMark(0)) << "the save reloads the table";
      EXPECT_NE(Ini(), iniBefore);
    } else {
      EXPECT_EQ(rules_->RowCount(), rowsBefore);
      EXPECT_EQ(Box("编辑框_指定地址")->text(), QString::fromUtf8(c.specified));
      EXPECT_EQ(Box("编辑框_目标地址")->text(), QString::fromUtf8(c.target));
      EXPECT_TRUE(rules_->CheckMark(0));
      EXPECT_EQ(Ini(), iniBefore);
    }
  }
}

TEST_F(CommandsTest, SaveOntoAFullDiskSaysSoAndLosesNothing) {
  const std::string iniBefore = Ini();
  Box("编辑框_指定地址")->setText(QStringLiteral("http://a/9"));
  Box("编辑框_目标地址")->setText(QStringLiteral("http://r/9"));
  {
    testing::FileSizeLimit limit(8);  // writes fail as on a full disk, also for root
    Click("按钮4");
    EXPECT_TRUE(LastLine().endsWith(QStringLiteral(" >> 添加失败! 无法写入 p.ini"))) << LastLine().toStdString();
    EXPECT_EQ(Ini(), iniBefore);
    EXPECT_EQ(rules_->RowCount(), 2) << "the table shows what the file holds";
    EXPECT_EQ(Box("编辑框_指定地址")->text(), QStringLiteral("http://a/9"));
    EXPECT_EQ(Box("编辑框_目标地址")->text(), QStringLiteral("http://r/9"));

    rules_->SetCheckMark(0, true);
    window_->DeleteChecked();
    EXPECT_TRUE(LastLine().endsWith(QStringLiteral(" >> 删除失败! 无法写入 p.ini"))) << LastLine().toStdString();
    EXPECT_EQ(Ini(), iniBefore);
    EXPECT_EQ(rules_->RowCount(), 2);
  }
  // Once there is room again the same add goes through.
  Click("按钮4");
  EXPECT_TRUE(LastLine().endsWith(QStringLiteral(" >> 添加成功!"))) << LastLine().toStdString();
  EXPECT_EQ(rules_->RowCount(), 3);
  EXPECT_NE(Ini().find("http://a/9----http://r/9|"), std::string::npos);
}

TEST_F(CommandsTest, StartHandsThePortToTheEngineAndLogsTheBoxText) {
  struct Case {
    const char* box;
    const char* port;
    const char* outcome;
  };
  const Case cases[] = {
      {"8080", "8080", "启动成功!"}, {"８０８０", "8080", "启动成功!"}, {"80abc", "80", "启动成功!"},
      {"", "0", "启动失败!"},        {"73324", "73324", "启动成功!"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.box);
    Fake<void()>("FakeEngineClearCalls")();
    Box("编辑框_端口")->setText(QString::fromUtf8(c.box));
    Click("按钮1");
    EXPECT_NE(Calls().find(std::string("InitFiddler(") + c.port + ")"), std::string::npos) << Calls();
    EXPECT_TRUE(LastLine().endsWith(QStringLiteral(" >> 端口：") + QString::fromUtf8(c.box) + QString::fromUtf8(c.outcome)))
        << LastLine().toStdString();
  }
}

TEST_F(CommandsTest, StartMakesARootOnlyWhenNoneIsTrusted) {
  Click("按钮1");
  EXPECT_EQ(Calls(),
            "removeCerts;CreateRootCert;InstCert;sslGetKey;sslGetCert;StartSSL(1);"
            "AutoStartFiddlerProxy(1);InitFiddler(7788);")
      << "first start on a new machine";
  EXPECT_TRUE(LastLine().endsWith(QStringLiteral(" >> 端口：7788启动成功!")));
  EXPECT_TRUE(fs::exists(dir_ / "data" / "kv" / "ssl.key"));

  Fake<void()>("FakeEngineRestart")();
  Click("按钮1");
  const std::string second = Calls();
  EXPECT_EQ(second.find("CreateRootCert"), std::string::npos) << second;
  EXPECT_EQ(second.find("InstCert"), std::string::npos) << second;
  EXPECT_EQ(second.rfind("sslSetKey(", 0), 0u) << "the saved root goes back first: " << second;
}

TEST_F(CommandsTest, StopAlwaysSucceedsAndClosingStopsTheEngine) {
  Click("按钮2");
  EXPECT_EQ(Calls(), "CloseFiddler;");
  EXPECT_TRUE(LastLine().endsWith(QStringLiteral(" >> 结束成功!")));
  Click("按钮1");
  Fake<void()>("FakeEngineClearCalls")();
  window_->close();
  EXPECT_EQ(Calls(), "CloseFiddler;");
}

}  // namespace
}  // namespace veltrox
