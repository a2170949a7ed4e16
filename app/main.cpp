#include <QApplication>

#include "files.h"
#include "main_window.h"
#include "rule_table.h"

int main(int argc, char* argv[]) {
  QApplication application(argc, argv);
  veltrox::RuleTable rules(veltrox::ProgramDirectory() + "/p.ini");
  veltrox::MainWindow window(rules);
  window.show();
  return application.exec();
}
