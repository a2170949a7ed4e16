#include "main_window.h"

#include <QCloseEvent>
#include <QCursor>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QTableView>
#include <QTimer>

#include "activity_log.h"
#include "engine_bridge.h"
#include "port_text.h"
#include "rewrite_hook.h"
#include "rule_table.h"
#include "text_encoding.h"
#include "text_scan.h"

namespace veltrox {
namespace {

template <typename Widget>
Widget* Place(QWidget* parent, const char* objectName, int left, int top, int width, int height) {
  auto* widget = new Widget(parent);
  widget->setObjectName(QString::fromUtf8(objectName));
  widget->setGeometry(left, top, width, height);
  return widget;
}

QLabel* Label(QWidget* parent, const char* objectName, const char* text, int left, int top, int width, int height) {
  auto* label = Place<QLabel>(parent, objectName, left, top, width, height);
  label->setText(QString::fromUtf8(text));
  label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  return label;
}

QLineEdit* LineBox(QWidget* parent, const char* objectName, int left, int top) {
  auto* box = Place<QLineEdit>(parent, objectName, left, top, 101, 20);
  box->setAlignment(Qt::AlignCenter);
  box->setMaxLength(std::numeric_limits<int>::max());
  QPalette palette = box->palette();
  palette.setColor(QPalette::Text, Qt::black);
  palette.setColor(QPalette::Base, Qt::white);
  box->setPalette(palette);
  return box;
}

// A box's text as the tool's GB18030 bytes.
std::string BoxText(const QLineEdit* box) { return Utf8ToGb18030(box->text().toStdString()); }

QPushButton* Button(QWidget* parent, const char* objectName, const char* text, int left, int top) {
  auto* button = Place<QPushButton>(parent, objectName, left, top, 144, 40);
  button->setText(QString::fromUtf8(text));
  return button;
}

}  // namespace

MainWindow::MainWindow(RuleTable& rules, const EngineBridge& engine, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      rules_(rules),
      engine_(engine) {
  setWindowTitle(QStringLiteral("Veltrox工具"));
  setFixedSize(kClientWidth, kClientHeight);
  CreateControls();
  AttachLogBox(logBox_);
}

MainWindow::~MainWindow() { DetachLogBox(); }

void MainWindow::CreateControls() {
  title_ = Label(this, "标签1", "Veltrox解决跨域问题 - 调试工具", 232, 16, 304, 48);
  QFont titleFont = font();
  // Verdana where it is installed, else the desktop's own sans font.
  titleFont.setFamilies({QStringLiteral("Verdana"), QFontDatabase::systemFont(QFontDatabase::GeneralFont).family()});
  titleFont.setWeight(QFont::Bold);
  titleFont.setPixelSize(16);
  title_->setFont(titleFont);

  ruleList_ = Place<QTableView>(this, "超级列表框1", 8, 80, 608, 168);
  ruleList_->setModel(&rules_);
  ruleList_->setSelectionBehavior(QAbstractItemView::SelectRows);
  ruleList_->setSelectionMode(QAbstractItemView::SingleSelection);
  ruleList_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  ruleList_->setShowGrid(true);
  ruleList_->setWordWrap(false);
  ruleList_->verticalHeader()->hide();
  // Report-view rows are one line of text high.
  ruleList_->verticalHeader()->setDefaultSectionSize(ruleList_->fontMetrics().height() + 6);
  ruleList_->horizontalHeader()->setStretchLastSection(false);
  ruleList_->horizontalHeader()->setHighlightSections(false);
  for (int column = 0; column < RuleTable::kColumnCount; ++column) {
    ruleList_->setColumnWidth(column, RuleTable::kColumnWidths[column]);
  }
  QPalette listPalette = ruleList_->palette();
  listPalette.setColor(QPalette::Text, Qt::black);
  listPalette.setColor(QPalette::Base, Qt::white);
  ruleList_->setPalette(listPalette);
  ruleList_->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(ruleList_, &QWidget::customContextMenuRequested, this, &MainWindow::ShowRuleMenu);

  logBox_ = Place<QPlainTextEdit>(this, "编辑框_日志", 8, 256, 608, 160);
  logBox_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  logBox_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  QPalette logPalette = logBox_->palette();
  logPalette.setColor(QPalette::Text, QColor(0, 255, 0));
  logPalette.setColor(QPalette::Base, Qt::black);
  logBox_->setPalette(logPalette);

  Label(this, "标签3", "指定：", 632, 80, 36, 24);
  specifiedBox_ = LineBox(this, "编辑框_指定地址", 671, 83);
  Label(this, "标签4", "目标：", 632, 112, 36, 24);
  targetBox_ = LineBox(this, "编辑框_目标地址", 671, 115);
  addButton_ = Button(this, "按钮4", "添加", 626, 152);
  connect(addButton_, &QPushButton::clicked, this, &MainWindow::AddRule);
  Label(this, "标签2", "端口：", 628, 235, 36, 24);
  portBox_ = LineBox(this, "编辑框_端口", 667, 238);
  portBox_->setText(QStringLiteral("7788"));
  startButton_ = Button(this, "按钮1", "启动服务", 624, 264);
  stopButton_ = Button(this, "按钮2", "结束服务", 624, 315);
  clearButton_ = Button(this, "按钮3", "清空日志", 624, 368);
  connect(startButton_, &QPushButton::clicked, this, &MainWindow::StartProxyService);
  connect(stopButton_, &QPushButton::clicked, this, &MainWindow::StopProxyService);
  connect(clearButton_, &QPushButton::clicked, this, &MainWindow::ClearLog);

  // A popup only: the window has no menu bar.
  ruleMenu_ = new QMenu(QStringLiteral("菜单"), this);
  ruleMenu_->setObjectName(QStringLiteral("菜单"));
  connect(ruleMenu_->addAction(QStringLiteral("全选")), &QAction::triggered, this, &MainWindow::CheckAll);
  connect(ruleMenu_->addAction(QStringLiteral("反选")), &QAction::triggered, this, &MainWindow::UncheckAll);
  connect(ruleMenu_->addAction(QStringLiteral("删除")), &QAction::triggered, this, &MainWindow::DeleteChecked);
}

void MainWindow::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (shown_) return;
  shown_ = true;
  if (const QScreen* screen = this->screen()) {
    QRect frame = frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    move(frame.topLeft());
  }
  // The creation handler runs from the event loop, once the window is on screen.
  QTimer::singleShot(0, this, &MainWindow::OnWindowCreated);
}

void MainWindow::closeEvent(QCloseEvent* event) {
  OnWindowClosing();
  QWidget::closeEvent(event);
}

void MainWindow::OnWindowCreated() {
  AppendLog(Gb(u8"[系统] 欢迎使用"));
  AppendLog(Gb(u8"[系统] 端口不能跟项目相同"));
  rules_.LoadRules();
}

void MainWindow::OnWindowClosing() {
  engine_.CloseFiddler();
  // Hook calls still waiting to log are let go; the box is about to disappear.
  DetachLogBox();
}

void MainWindow::AddRule() {
  if (BoxText(specifiedBox_).empty() || BoxText(targetBox_).empty()) {
    AppendLog(Gb(u8"添加失败! 内容不能为空"));
    return;
  }
  const std::string specified = BoxText(specifiedBox_);
  const std::string target = BoxText(targetBox_);
  if (rules_.FindRule(specified, 1) != -1 || rules_.FindRule(target, 2) != -1) {
    AppendLog(Gb(u8"添加失败! 已存在数据"));
    return;
  }
  // The stored form is "specified----target|"; a pair that would not split
  // back into the same two addresses would change or vanish at the next load.
  if (ContainsText(specified, "|") || ContainsText(target, "|") || ContainsText(specified, "----") ||
      ContainsText(target, "----")) {
    AppendLog(Gb(u8"添加失败! 地址不能包含 | 或 ----"));
    return;
  }
  // "a-" + "----" + "b" would read back as "a" and "-b".
  if (specified.back() == '-') {
    AppendLog(Gb(u8"添加失败! 指定地址不能以 - 结尾"));
    return;
  }
  rules_.AppendRow(std::to_string(rules_.RowCount() + 1), BoxText(specifiedBox_), BoxText(targetBox_));
  if (!rules_.SaveRules()) {
    // The table shows what the file still holds; the boxes keep what was
    // typed, so that nothing is lost and the add can be tried again.
    AppendLog(Gb(u8"添加失败! 无法写入 p.ini"));
    return;
  }
  targetBox_->clear();
  specifiedBox_->clear();
  AppendLog(Gb(u8"添加成功!"));
}

void MainWindow::StartProxyService() {
  if (!engine_.CheckRootTrust()) {
    engine_.CreateRootCert();
    engine_.InstallRootCert();
  }
  engine_.StartSSL(true);
  engine_.AutoStartFiddlerProxy(true);
  const std::int32_t started = engine_.InitFiddler(PortFromText(BoxText(portBox_)), &RewriteHook);
  AppendLog(Gb(u8"端口：") + BoxText(portBox_) + (started != 0 ? Gb(u8"启动成功!") : Gb(u8"启动失败!")));
}

void MainWindow::StopProxyService() {
  engine_.CloseFiddler();
  AppendLog(Gb(u8"结束成功!"));
}

void MainWindow::ClearLog() { logBox_->setPlainText(QString()); }

void MainWindow::ShowRuleMenu() { ruleMenu_->popup(QCursor::pos() + QPoint(3, 3)); }

void MainWindow::CheckAll() {
  const int rows = rules_.RowCount();
  for (int row = 0; row < rows; ++row) rules_.SetCheckMark(row, true);
}

void MainWindow::UncheckAll() {
  const int rows = rules_.RowCount();
  for (int row = 0; row < rows; ++row) rules_.SetCheckMark(row, false);
}

void MainWindow::DeleteChecked() {
  const int rows = rules_.RowCount();
  // Bottom up, so a deletion never moves a row still to be visited.
  for (int row = rows - 1; row >= 0; --row) {
    if (rules_.CheckMark(row)) rules_.DeleteRow(row);
  }
  if (!rules_.SaveRules()) AppendLog(Gb(u8"删除失败! 无法写入 p.ini"));
}

}  // namespace veltrox
