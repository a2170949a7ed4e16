#include <QApplication>

#include <gtest/gtest.h>

#include <cstdlib>

// The log tests drive a real QPlainTextEdit, so they need an application
// object; without a display they run on the offscreen platform.
int main(int argc, char** argv) {
  if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
