// The dashboard on a real X server with a window manager and a tray, filled by the built-in modules
// run for real: it runs under scripts/xvfb-run-desktop (the CTest entry qv_windows_tests_xvfb) and
// skips elsewhere. The screenshots are for a person to look at.
#include <QtGui/QGuiApplication>
#include <QtGui/QWindow>
#include <QtWidgets/QApplication>
#include <QtWidgets/QSystemTrayIcon>

#include "engine/QVModuleLog.h"
#include "engine/QVShowRunner.h"
#include "engine/desktop/EngineBridge.h"
#include "windows/QVDashboardViewController.h"
#include "windows/QVDashboardWindowController.h"
#include "windows/QVModuleListViewController.h"
#include "windows/tests/DashboardTestSupport.h"

namespace {

class XvfbDashboardTest : public qvtesting::DashboardTest {
 protected:
  void SetUp() override {
    if (QGuiApplication::platformName() != QStringLiteral("xcb") || qEnvironmentVariableIsEmpty("DISPLAY")) {
      GTEST_SKIP() << "needs a real X server: run under scripts/xvfb-run-desktop";
    }
    DashboardTest::SetUp();
    setUp = true;
  }
  void TearDown() override {
    if (!setUp) return;
    if (runner) runner->stop();
    windowController.reset();
    DashboardTest::TearDown();
  }
  QVDashboardModule::Pointer builtIn(const std::string& name) {
    for (const auto& module : manager->bundledModules())
      if (module->moduleName() == name) return module->copy();
    ADD_FAILURE() << "no built-in module " << name;
    return nullptr;
  }
  std::unique_ptr<QVDashboardWindowController> windowController;
  QVShowRunner::Pointer runner;
  bool setUp = false;
};

TEST_F(XvfbDashboardTest, ThreeGroupsOfBuiltInModulesShowTheirResultsUnderTheTrayIcon) {
  ASSERT_TRUE(runUntil([] { return QSystemTrayIcon::isSystemTrayAvailable(); }, 5));
  manager->reloadBundledModules();
  ASSERT_GE(manager->bundledModules().size(), 4u);
  struct GroupPlan {
    const char* name;
    const char* emoji;
    std::vector<std::string> modules;
  };
  const GroupPlan plans[] = {{"System", "🖥️", {"Memory", "System Load"}},
                             {"Storage", "💾", {"Disk Space"}},
                             {"Time", "⏰", {"Clock"}}};
  for (const auto& plan : plans) {
    auto group = QVDashboardGroup::groupWithName(std::string(plan.name));
    group->setEmoji(std::string(plan.emoji));
    for (const auto& name : plan.modules) {
      auto module = builtIn(name);
      if (!module) {
        for (const auto& m : manager->bundledModules())
          ADD_FAILURE() << "available: " << m->moduleName().value_or("?");
        return;
      }
      group->addModule(module, false);
    }
    manager->addGroup(group);
  }
  QVUserDefaults::standardUserDefaults()->setIsDocked(true);
  windowController.reset(ZKWindowController::controller<QVDashboardWindowController>());
  runner = QVShowRunner::make(manager);
  runner->start();
  auto modules = [&] {
    std::vector<QVDashboardModule::Pointer> all;
    for (const auto& group : manager->groups())
      for (const auto& module : group->modules()) all.push_back(module);
    return all;
  }();
  ASSERT_EQ(modules.size(), 4u);
  ASSERT_TRUE(runUntil(
      [&] {
        for (const auto& module : modules)
          if (!module->lastResult()) return false;
        return true;
      },
      40))
      << [&] {
           std::string lines;
           for (const auto& module : modules)
             for (const auto& line : module->log()->logLines())
               lines += module->displayName().value_or("?") + ": " + line->logString().value_or("") + "\n";
           return lines;
         }();
  for (const auto& module : modules) EXPECT_TRUE(module->lastResult()->success()) << module->description();

  windowController->menuIconWasClicked();
  QWidget* window = windowController->window();
  ASSERT_TRUE(runUntil(
      [&] { return window->isVisible() && window->windowHandle() && window->windowHandle()->isExposed(); }));
  runFor(0.6);
  auto* outline = windowController->moduleListViewController()->dashboardViewController();
  EXPECT_EQ(outline->countedRows(), 7);
  // The window hangs below the tray icon: its top edge at the tray's bottom.
  const QRect item = windowController->statusItem()->frame();
  if (!item.isEmpty()) {
    EXPECT_NEAR(window->geometry().top(), item.bottom() + 1, 4);
  }
  qvtesting::saveScreenshot("windows-dashboard-xvfb", "dashboard-light");
  qvtesting::saveGrab(window, "windows-dashboard-xvfb", "dashboard-window-light");
  ZKThemeManager::sharedManager().changeTheme(QStringLiteral("DDDarkTheme"));
  runFor(0.6);
  qvtesting::saveScreenshot("windows-dashboard-xvfb", "dashboard-dark");
  qvtesting::saveGrab(window, "windows-dashboard-xvfb", "dashboard-window-dark");
  ZKThemeManager::sharedManager().changeTheme(QStringLiteral("DDLightTheme"));
}

}  // namespace
