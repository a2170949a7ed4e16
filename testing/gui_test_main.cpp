// main() for test executables that drive real widgets: a QApplication on the
// offscreen platform unless the caller chose another. Desktop settings go to a
// key file in a fresh folder, so that an engine started by a test never reads
// or changes the machine's own proxy settings.
#include <QApplication>

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  char config[] = "/tmp/veltrox-test-config-XXXXXX";
  if (mkdtemp(config) != nullptr) setenv("XDG_CONFIG_HOME", config, 1);
  setenv("GSETTINGS_BACKEND", "keyfile", 1);
  QApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  const int result = RUN_ALL_TESTS();
  std::error_code ignored;
  std::filesystem::remove_all(config, ignored);
  return result;
}
