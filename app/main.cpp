// Start and end of the program: the engine bridge first (it writes the support
// files and loads the engine, or the program ends with a message), then the
// data folder, the window and its loop; the bridge is released at exit.
#include <QApplication>
#include <QMessageBox>

#include <cstdio>
#include <cstdlib>

#include "activity_log.h"
#include "embedded/SupportFiles.h"
#include "engine_bridge.h"
#include "files.h"
#include "main_window.h"
#include "rewrite_hook.h"
#include "rule_table.h"
#include "support_files.h"
#include "text_encoding.h"

namespace {

QString ToQString(const std::string& gb18030) { return QString::fromStdString(veltrox::Gb18030ToUtf8(gb18030)); }

}  // namespace

int main(int argc, char* argv[]) {
  QApplication application(argc, argv);

  const int loadError = veltrox::EngineBridge::Construct(veltrox::embedded::SupportFiles(), veltrox::ProgramDirectory());
  if (loadError != 0) {
    // Also on the terminal, for a start from a shell or a script.
    std::fprintf(stderr, "%s\n", veltrox::Gb18030ToUtf8(veltrox::LoadFailureMessage(loadError)).c_str());
    QMessageBox box(QMessageBox::Critical, ToQString(veltrox::LoadFailureTitle()),
                    ToQString(veltrox::LoadFailureMessage(loadError)), QMessageBox::Ok);
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
    return EXIT_FAILURE;
  }
  std::atexit(veltrox::EngineBridge::Teardown);
  veltrox::CreateDataFolder();

  veltrox::RuleTable rules(veltrox::ProgramDirectory() + "/p.ini");
  // The hook reads the table's published snapshot and never waits on the window
  // for a lookup; only its log line does.
  veltrox::InstallRewriteDependencies(
      [&rules](std::string_view url) -> std::optional<std::pair<std::string, std::string>> {
        if (auto rule = rules.LookUp(url)) return std::pair{rule->specifiedAddress, rule->targetAddress};
        return std::nullopt;
      },
      [](std::string_view message) { veltrox::AppendLog(message); });

  veltrox::MainWindow window(rules, *veltrox::EngineBridge::Instance());
  window.show();
  const int result = application.exec();
  // Hook calls that arrive from now on find no rules and log nothing.
  veltrox::InstallRewriteDependencies({}, {});
  return result;
}
