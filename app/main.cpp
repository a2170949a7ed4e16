#include <QApplication>

#include "engine_bridge.h"
#include "files.h"
#include "main_window.h"
#include "rule_table.h"

int main(int argc, char* argv[]) {
  QApplication application(argc, argv);
  veltrox::RuleTable rules(veltrox::ProgramDirectory() + "/p.ini");
  veltrox::EngineBridge engine(nullptr);
  veltrox::MainWindow window(rules, engine);
  window.show();
  return application.exec();
}
