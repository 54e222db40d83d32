// The main of every desktop test executable: GoogleTest inside a QApplication on the offscreen
// platform (unless the caller chose another, as the Xvfb harness does).
#include <gtest/gtest.h>

#include <QtWidgets/QApplication>
#include <cstdlib>

int main(int argc, char** argv) {
  const char* platform = std::getenv("QT_QPA_PLATFORM");
  if (!platform || !*platform) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  ::testing::InitGoogleTest(&argc, argv);
  // The same style everywhere, so that grabs look alike on every machine.
  QApplication::setStyle(QStringLiteral("Fusion"));
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
