#pragma once

#include <QWidget>

class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QTableView;

namespace veltrox {

class EngineBridge;
class RuleTable;

// The program's only window, "Veltrox工具": the rule list, the boxes and button
// that add a rule, the port box with the start and stop buttons, and the log
// box. Controls carry their form names as object names (超级列表框1, 编辑框_端口, ...).
// Every command runs on the GUI thread and reports its outcome in the log box.
class MainWindow : public QWidget {
  Q_OBJECT

 public:
  // The client area that a 795 x 466 window with 8-pixel frames and a
  // 31-pixel caption has; every control is placed in it.
  static constexpr int kClientWidth = 779;
  static constexpr int kClientHeight = 427;

  // `engine` is the program's engine bridge; it outlives the window.
  MainWindow(RuleTable& rules, const EngineBridge& engine, QWidget* parent = nullptr);
  ~MainWindow() override;

  QMenu* RuleMenu() const { return ruleMenu_; }

 public slots:
  // Runs once the window and its controls exist: greets, then loads the rules.
  void OnWindowCreated();
  // Runs just before the window goes: stops the engine.
  void OnWindowClosing();
  // Adds the rule in the two boxes, unless a box is empty, an address is in
  // use already, or the pair cannot be stored.
  void AddRule();
  // Makes sure the root is trusted, then starts the engine on the port box's port.
  void StartProxyService();
  void StopProxyService();
  void ClearLog();
  // Pops up "菜单" 3 pixels right of and below the mouse pointer.
  void ShowRuleMenu();
  void CheckAll();
  // Clears every check mark (the item is captioned "反选").
  void UncheckAll();
  // Deletes the checked rows from the bottom up, then saves and reloads.
  void DeleteChecked();

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void CreateControls();

  RuleTable& rules_;
  const EngineBridge& engine_;
  QLabel* title_ = nullptr;
  QTableView* ruleList_ = nullptr;
  QPlainTextEdit* logBox_ = nullptr;
  QLineEdit* specifiedBox_ = nullptr;
  QLineEdit* targetBox_ = nullptr;
  QLineEdit* portBox_ = nullptr;
  QPushButton* addButton_ = nullptr;
  QPushButton* startButton_ = nullptr;
  QPushButton* stopButton_ = nullptr;
  QPushButton* clearButton_ = nullptr;
  QMenu* ruleMenu_ = nullptr;
  bool shown_ = false;
};

}  // namespace veltrox
