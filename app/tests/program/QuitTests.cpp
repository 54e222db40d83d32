// "Quit" ends the program every time, saving what it keeps, whatever is on the screen.

#include <signal.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "app/tests/program/ProgramTest.h"
#include "engine/QVDashboardGroup.h"
#include "engine/QVDashboardModule.h"
#include "engine/QVDashboardModuleManager.h"
#include "engine/QVEngineEnvironment.h"
#include "engine/QVEngineSettings.h"
#include "platform/SettingsStore.h"
#include "testing/TreePaths.h"

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

  // The program's groups before its start: one group holding a module whose run takes a minute after
  // writing its process id to `pidFile`. Written with the engine's own archive code in this process,
  // into the program's folder; the settings say the defaults were loaded, so nothing replaces it.
  void seedALongRunningModule(const fs::path& pidFile) {
    const fs::path package = root() / "packages" / "Slow.quorvanemodule";
    fs::create_directories(package);
    std::ofstream(package / "package.json") << R"({"name": "Slow", "description": "Takes its time.",
      "author": "Tests", "bundleID": "com.example.slow", "version": "1.0.0", "category": "Utilities",
      "refreshInterval": 30, "user_options": []})";
    std::ofstream(package / "main.js")
        << "require('fs').writeFileSync(" << nlohmann::json(pidFile.string()).dump()
        << ", String(process.pid));\nsetTimeout(() => {}, 60000);\n";

    auto settings = settingsFile();
    settings->setBool(true, QVEngineSettings::kLoadedDefaultsKey);
    settings->synchronize();
    platform::SettingsStore::setStandardUserDefaults(platform::SettingsStore::inMemoryStore());
    QVEngineEnvironment::setResourceFolder(fs::path(QV_APPLICATION_EXECUTABLE).parent_path().parent_path() /
                                           "resources");
    {
      auto manager = QVDashboardModuleManager::make();
      ASSERT_TRUE(manager->configure());
      auto module = QVDashboardModule::moduleWithPath(package.string());
      ASSERT_TRUE(module) << "the test module does not load";
      auto group = QVDashboardGroup::groupWithName("Work");
      group->addModule(module);
      manager->updateGroups({group});
      ASSERT_TRUE(manager->saveToFile());
    }
    QVEngineEnvironment::setResourceFolder(std::nullopt);
    platform::SettingsStore::setStandardUserDefaults(nullptr);
  }
};

// Whether the process runs (a zombie has ended: only its entry is left for its parent to read).
bool processRuns(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string field;
  for (int i = 0; i < 3 && stat >> field; ++i) {
  }
  return stat.good() && field != "Z" && field != "X";
}

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

TEST_F(QuitXvfbTest, QuitDuringAModuleRunStopsTheRunAndSaves) {
  const fs::path pidFile = root() / "slow.pid";
  ASSERT_NO_FATAL_FAILURE(seedALongRunningModule(pidFile));
  launch();
  ASSERT_TRUE(runUntil([&] { return fs::exists(pidFile) && fs::file_size(pidFile) > 0; }, 20))
      << "the module did not start its run";
  // Not a first start: the dashboard is dropped down from the tray icon, showing the run under way.
  clickTrayIcon();
  ASSERT_TRUE(runUntil([&] { return !dashboardWindow().isEmpty(); }, 5)) << "the dashboard did not appear";
  runFor(0.5);
  screenshot("module-running");
  pid_t run = 0;
  std::ifstream(pidFile) >> run;
  ASSERT_GT(run, 0);
  ASSERT_TRUE(processRuns(run)) << "the module's run ended by itself";
  forgetSavedFiles();
  quitFromTrayMenu();
  expectQuitAndSaved();
  EXPECT_FALSE(processRuns(run)) << "the module's run outlived the program";
}

}  // namespace
