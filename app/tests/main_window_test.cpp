#include "main_window.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QContextMenuEvent>
#include <QCursor>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <QTableView>
#include <QTest>

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "activity_log.h"
#include "engine_bridge.h"
#include "files.h"
#include "library_loading.h"
#include "rule_table.h"
#include "test_server.h"

namespace veltrox {
namespace {

namespace fs = std::filesystem;

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("veltrox-window-" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    iniPath_ = (dir_ / "p.ini").string();
    ASSERT_TRUE(WriteFileAtomically(iniPath_, "[user]\r\ndata=http://a/1----http://r/1|bad|http://a/2----http://r/2|\r\n"));
    rules_ = std::make_unique<RuleTable>(iniPath_);
    SetNetworkClockAddress(clock_.Url("/"));
    window_ = std::make_unique<MainWindow>(*rules_, engine_);
    window_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window_.get()));
    QTRY_COMPARE(rules_->RowCount(), 2);
  }
  void TearDown() override {
    window_.reset();
    rules_.reset();
    fs::remove_all(dir_);
  }

  template <typename Widget>
  Widget* Find(const char* name) {
    auto* widget = window_->findChild<Widget*>(QString::fromUtf8(name));
    EXPECT_NE(widget, nullptr) << name;
    return widget;
  }
  std::string Ini() { return ReadWholeFile(iniPath_).value_or(""); }

  // Right-clicks the list and chooses the menu item `index` with `button`.
  void ChooseMenuItem(int index, Qt::MouseButton button = Qt::LeftButton) {
    auto* list = Find<QTableView>("超级列表框1");
    const QPoint at(20, 20);
    QContextMenuEvent rightClick(QContextMenuEvent::Mouse, at, list->viewport()->mapToGlobal(at));
    QApplication::sendEvent(list->viewport(), &rightClick);
    QMenu* menu = window_->RuleMenu();
    QTRY_VERIFY(menu->isVisible());
    QAction* item = menu->actions().value(index);
    ASSERT_NE(item, nullptr);
    QTest::mouseClick(menu, button, {}, menu->actionGeometry(item).center());
    QTRY_VERIFY(!menu->isVisible());
  }

  testing::TestServer clock_;
  EngineBridge engine_{nullptr};
  fs::path dir_;
  std::string iniPath_;
  std::unique_ptr<RuleTable> rules_;
  std::unique_ptr<MainWindow> window_;
};

TEST_F(MainWindowTest, EveryControlStandsAtItsPlaceWithItsText) {
  struct Case {
    const char* name;
    QRect geometry;
    const char* text;
  };
  const Case cases[] = {
      {"标签1", {232, 16, 304, 48}, "Veltrox解决跨域问题 - 调试工具"},
      {"超级列表框1", {8, 80, 608, 168}, nullptr},
      {"编辑框_日志", {8, 256, 608, 160}, nullptr},
      {"标签3", {632, 80, 36, 24}, "指定："},
      {"编辑框_指定地址", {671, 83, 101, 20}, ""},
      {"标签4", {632, 112, 36, 24}, "目标："},
      {"编辑框_目标地址", {671, 115, 101, 20}, ""},
      {"按钮4", {626, 152, 144, 40}, "添加"},
      {"标签2", {628, 235, 36, 24}, "端口："},
      {"编辑框_端口", {667, 238, 101, 20}, "7788"},
      {"按钮1", {624, 264, 144, 40}, "启动服务"},
      {"按钮2", {624, 315, 144, 40}, "结束服务"},
      {"按钮3", {624, 368, 144, 40}, "清空日志"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    QWidget* widget = Find<QWidget>(c.name);
    ASSERT_NE(widget, nullptr);
    EXPECT_EQ(widget->geometry(), c.geometry);
    EXPECT_TRUE(widget->isVisible());
    if (!c.text) continue;
    QString text;
    if (auto* label = qobject_cast<QLabel*>(widget)) text = label->text();
    else if (auto* box = qobject_cast<QLineEdit*>(widget)) text = box->text();
    else if (auto* button = qobject_cast<QPushButton*>(widget)) text = button->text();
    else if (auto* log = qobject_cast<QPlainTextEdit*>(widget)) text = log->toPlainText();
    EXPECT_EQ(text.toStdString(), c.text);
  }
  for (const char* name : {"编辑框_指定地址", "编辑框_目标地址", "编辑框_端口"}) {
    auto* box = Find<QLineEdit>(name);
    EXPECT_EQ(box->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignHCenter) << name;
    EXPECT_TRUE(box->hasFrame()) << name;
  }
}

TEST_F(MainWindowTest, WindowIsFixedWithoutMaximizeButton) {
  EXPECT_EQ(window_->windowTitle(), QStringLiteral("Veltrox工具"));
  EXPECT_EQ(window_->minimumSize(), window_->maximumSize());
  EXPECT_EQ(window_->size(), QSize(MainWindow::kClientWidth, MainWindow::kClientHeight));
  const Qt::WindowFlags flags = window_->windowFlags();
  EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
  EXPECT_TRUE(flags & Qt::WindowMinimizeButtonHint);
  EXPECT_TRUE(flags & Qt::WindowSystemMenuHint);
  EXPECT_FALSE(flags & Qt::WindowStaysOnTopHint);
}

TEST_F(MainWindowTest, FontsAndColours) {
  const QFont title = Find<QLabel>("标签1")->font();
  EXPECT_EQ(title.families().value(0), QStringLiteral("Verdana"));
  EXPECT_EQ(title.weight(), 700);
  EXPECT_EQ(title.pixelSize(), 16);
  EXPECT_EQ(Find<QPushButton>("按钮1")->font(), window_->font()) << "other controls use the default font";

  auto* log = Find<QPlainTextEdit>("编辑框_日志");
  EXPECT_EQ(log->palette().color(QPalette::Text), QColor(0, 255, 0));
  EXPECT_EQ(log->palette().color(QPalette::Base), QColor(0, 0, 0));
  EXPECT_EQ(log->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
  EXPECT_EQ(log->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
  EXPECT_FALSE(log->isReadOnly());

  auto* list = Find<QTableView>("超级列表框1");
  EXPECT_EQ(list->palette().color(QPalette::Text), QColor(0, 0, 0));
  EXPECT_EQ(list->palette().color(QPalette::Base), QColor(255, 255, 255));
}

TEST_F(MainWindowTest, ListShowsTheRulesAsAReportView) {
  auto* list = Find<QTableView>("超级列表框1");
  EXPECT_EQ(list->model(), rules_.get());
  EXPECT_TRUE(list->showGrid());
  EXPECT_FALSE(list->verticalHeader()->isVisible());
  EXPECT_TRUE(list->horizontalHeader()->isVisible());
  EXPECT_EQ(list->selectionBehavior(), QAbstractItemView::SelectRows);
  EXPECT_EQ(list->selectionMode(), QAbstractItemView::SingleSelection);
  EXPECT_EQ(list->columnWidth(0), 50);
  EXPECT_EQ(list->columnWidth(1), 250);
  EXPECT_EQ(list->columnWidth(2), 300);
  EXPECT_EQ(rules_->RowText(1, 0), "2") << "numbers count rows, not stored members";
  EXPECT_EQ(rules_->RowText(1, 1), "http://a/2");
}

TEST_F(MainWindowTest, ClickingACheckBoxChangesOnlyThatMark) {
  auto* list = Find<QTableView>("超级列表框1");
  const std::string before = Ini();
  const QModelIndex cell = rules_->index(1, 0);
  QStyleOptionViewItem option;
  option.initFrom(list->viewport());
  option.rect = list->visualRect(cell);
  option.features |= QStyleOptionViewItem::HasCheckIndicator;
  const QRect box = list->style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &option, list);
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, box.center());
  EXPECT_TRUE(rules_->CheckMark(1));
  EXPECT_FALSE(rules_->CheckMark(0));
  EXPECT_EQ(Ini(), before);
  EXPECT_EQ(Find<QPlainTextEdit>("编辑框_日志")->toPlainText().count('\n'), 2) << "only the greeting lines";
}

TEST_F(MainWindowTest, RightClickPopsTheMenuWithItsThreeItems) {
  auto* list = Find<QTableView>("超级列表框1");
  const QPoint at(30, 30);
  QContextMenuEvent rightClick(QContextMenuEvent::Mouse, at, list->viewport()->mapToGlobal(at));
  QApplication::sendEvent(list->viewport(), &rightClick);
  QMenu* menu = window_->RuleMenu();
  QTRY_VERIFY(menu->isVisible());
  EXPECT_EQ(menu->objectName(), QStringLiteral("菜单"));
  EXPECT_EQ(menu->title(), QStringLiteral("菜单"));
  EXPECT_EQ(menu->pos(), QCursor::pos() + QPoint(3, 3));
  QStringList items;
  for (QAction* action : menu->actions()) items << action->text();
  EXPECT_EQ(items, (QStringList{QStringLiteral("全选"), QStringLiteral("反选"), QStringLiteral("删除")}));
  menu->close();
}

TEST_F(MainWindowTest, CheckAllThenDeleteEmptiesTheTableAndSavesAnEmptyValue) {
  ChooseMenuItem(0);
  EXPECT_TRUE(rules_->CheckMark(0));
  EXPECT_TRUE(rules_->CheckMark(1));
  ChooseMenuItem(2, Qt::RightButton);
  EXPECT_EQ(rules_->RowCount(), 0);
  EXPECT_EQ(Ini(), "[user]\r\ndata=\r\n");
}

TEST_F(MainWindowTest, UncheckAllThenDeleteDeletesNothingButSavesAndReloads) {
  rules_->SetCheckMark(0, true);
  ChooseMenuItem(1);
  EXPECT_FALSE(rules_->CheckMark(0));
  ChooseMenuItem(2);
  EXPECT_EQ(rules_->RowCount(), 2);
  // The member that did not split is gone: the table was written and read back.
  EXPECT_EQ(Ini(), "[user]\r\ndata=http://a/1----http://r/1|http://a/2----http://r/2|\r\n");
}

TEST_F(MainWindowTest, DeleteRemovesOnlyCheckedRowsAndRenumbers) {
  ASSERT_TRUE(WriteFileAtomically(iniPath_, "[user]\r\ndata=a----1|b----2|c----3|d----4|\r\n"));
  rules_->LoadRules();
  rules_->SetCheckMark(0, true);
  rules_->SetCheckMark(2, true);
  rules_->SetCheckMark(3, true);
  window_->DeleteChecked();
  ASSERT_EQ(rules_->RowCount(), 1);
  EXPECT_EQ(rules_->RowText(0, 0), "1");
  EXPECT_EQ(rules_->RowText(0, 1), "b");
  EXPECT_FALSE(rules_->CheckMark(0));
}

TEST_F(MainWindowTest, LogBoxTakesTypingUntilCleared) {
  auto* log = Find<QPlainTextEdit>("编辑框_日志");
  window_->ClearLog();
  log->setFocus();
  QTest::keyClicks(log, "typed");
  QTest::keyClick(log, Qt::Key_Return);
  QTest::keyClicks(log, "more");
  EXPECT_EQ(log->toPlainText(), QStringLiteral("typed\nmore"));
  QTest::mouseClick(Find<QPushButton>("按钮3"), Qt::LeftButton);
  EXPECT_TRUE(log->toPlainText().isEmpty());
  window_->StopProxyService();
  EXPECT_TRUE(log->toPlainText().endsWith(QStringLiteral(" >> 结束成功!\n")));
  EXPECT_EQ(log->toPlainText().count('\n'), 1) << "the next line is the first line of the box";
}

}  // namespace
}  // namespace veltrox
