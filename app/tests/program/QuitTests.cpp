// "Quit" ends the program every time, saving what it keeps, whatever is on the screen.

#include <filesystem>

#include "app/tests/program/ProgramTest.h"

namespace {

namespace fs = std::filesystem;
using qvprogram::ProgramTest;

class QuitXvfbTest : public ProgramTest {
 protected:
  // Removes the files quitting writes, so that their presence afterwards shows it saved.
  void forgetSavedFiles() {
    std::error_code ignored;
    fs::remove(supportFolder() / "Modules.plist", ignored);
    fs::remove(supportFolder() / "output.json", ignored);
  }
  void expectQuitAndSaved() {
    const auto status = waitForExit(15);
    ASSERT_TRUE(status.has_value()) << "the program still runs after Quit";
    EXPECT_EQ(*status, 0);
    EXPECT_TRUE(fs::exists(supportFolder() / "Modules.plist")) << "the groups were not saved";
    EXPECT_TRUE(output().has_value()) << "output.json was not written";
  }
  // Chooses "Quit", the last entry of the tray icon's menu.
  void quitFromTrayMenu() {
    clickTrayIcon(3);
    runFor(0.6);
    screenshot("tray-menu");
    key(QStringLiteral("Up"));
    key(QStringLiteral("Return"));
  }
};

TEST_F(QuitXvfbTest, QuitFromTheTrayMenuEndsTheProgramWithTheDashboardShownOrHidden) {
  launchAndWaitForDashboard();
  forgetSavedFiles();
  quitFromTrayMenu();
  expectQuitAndSaved();

  // Hidden: a click on the tray icon hides the dashboard first.
  launchAndWaitForDashboard();
  clickTrayIcon();
  ASSERT_TRUE(runUntil([&] { return dashboardWindow().isEmpty(); }, 5));
  runFor(0.5);
  forgetSavedFiles();
  quitFromTrayMenu();
  expectQuitAndSaved();
}

TEST_F(QuitXvfbTest, QuitEndsTheProgramWithAnAlertOpen) {
  launchAndWaitForDashboard();
  // The dashboard's first module row ("Clock", under the group's row) asks before it deletes.
  const QString dashboard = dashboardWindow();
  clickInWindow(dashboard, QPoint(60, 94), 3);
  runFor(0.5);
  key(QStringLiteral("Down"));
  key(QStringLiteral("Down"));
  key(QStringLiteral("Down"));
  key(QStringLiteral("Return"));
  ASSERT_TRUE(runUntil([&] { return visibleWindowCount() > 1; }, 5)) << "no alert opened";
  screenshot("alert-open");
  forgetSavedFiles();
  quitFromTrayMenu();
  expectQuitAndSaved();
}

}  // namespace
