// "Show the application in the task bar" on the general pane: off, the dashboard and the preferences
// window tell the desktop to leave them out of its task bar (and pager); on, they do not. A click on
// the box reaches the windows on the screen at once, and the choice holds for windows shown later and
// for a window shown again after it was hidden.
#include <QtGui/QWindow>
#include <QtWidgets/QWidget>

#include "app/PMMainWindowController.h"
#include "app/tests/program/ProgramTest.h"
#include "platform/SettingsStore.h"
#include "shell/QVUserDefaults.h"

namespace {

using qvprogram::ProgramTest;

class TaskbarEntryXvfbTest : public ProgramTest {
 protected:
  // What a task bar reads of the window.
  bool skipsTaskbar(const QString& window) const {
    return property(window, QStringLiteral("_NET_WM_STATE"))
        .contains(QStringLiteral("_NET_WM_STATE_SKIP_TASKBAR"));
  }

  // "Preferences…", the fifth entry of the tray icon's menu, opens the general pane.
  QString openPreferences() {
    const auto before = windows().size();
    clickTrayIcon(3);
    if (!runUntil([&] { return windows().size() > before; }, 5)) {
      ADD_FAILURE() << "the tray menu did not open";
      return {};
    }
    runFor(0.3);
    for (int i = 0; i < 5; ++i) key(QStringLiteral("Down"));
    key(QStringLiteral("Return"));
    const auto window = waitForWindow(QStringLiteral("Preferences"));
    if (window.isEmpty()) ADD_FAILURE() << "the preferences window did not open";
    return window;
  }

  // Where the task-bar box sits in the preferences window on the general pane: the same window laid
  // out in this process, over settings of its own.
  static QPoint taskbarBoxOffset() {
    platform::SettingsStore::setStandardUserDefaults(platform::SettingsStore::inMemoryStore());
    auto* controller = ZKWindowController::controller<PMMainWindowController>();
    controller->selectModuleAtRow(PMMainWindowController::PreferencesRow);
    controller->actuallyShowWindow();
    QWidget* window = controller->window();
    qvtesting::qtRunUntil([&] { return window->windowHandle() && window->windowHandle()->isExposed(); }, 5);
    qvtesting::qtRunFor(0.3);
    const QPoint offset = centreOf(window, "dockIconCheckbox");
    // Hidden, not closed: a close asks first.
    window->hide();
    controller->deleteLater();
    qvtesting::qtRunFor(0.2);
    platform::SettingsStore::setStandardUserDefaults(nullptr);
    return offset;
  }

  bool storedListed() const { return settingsFile()->boolForKey(QVShowDockIconKey); }
};

TEST_F(TaskbarEntryXvfbTest, TheBoxListsOrUnlistsTheOpenWindowsAndHoldsForWindowsShownLater) {
  const QPoint box = taskbarBoxOffset();
  ASSERT_FALSE(HasFailure()) << "the general pane could not be measured";
  {
    // Off from the start; the preferences window closes without asking.
    auto settings = settingsFile();
    settings->setBool(false, QVShowDockIconKey);
    settings->setBool(true, PMMainWindowController::kSuppressQuitAlertKey);
    settings->synchronize();
  }
  launch();
  ASSERT_TRUE(runUntil([&] { return !dashboardWindow().isEmpty(); }, 20)) << "the dashboard did not appear";
  const QString dashboard = dashboardWindow();
  EXPECT_TRUE(runUntil([&] { return skipsTaskbar(dashboard); }, 3))
      << "the dashboard is in the task bar: "
      << property(dashboard, QStringLiteral("_NET_WM_STATE")).toStdString();
  const QString preferences = openPreferences();
  ASSERT_FALSE(preferences.isEmpty());
  EXPECT_TRUE(runUntil([&] { return skipsTaskbar(preferences); }, 3))
      << "the preferences window is in the task bar: "
      << property(preferences, QStringLiteral("_NET_WM_STATE")).toStdString();
  ASSERT_TRUE(windows().contains(dashboard)) << "the dashboard went when the preferences came";
  screenshot("1-unlisted");

  // Each click turns the setting over, and both windows on the screen follow it. The box rests for a
  // moment after each click.
  for (const bool listed : {true, false}) {
    SCOPED_TRACE(listed ? "switched on" : "switched off");
    runFor(1.0);
    clickInWindow(preferences, box);
    ASSERT_TRUE(runUntil([&] { return storedListed() == listed; }, 5))
        << "the click did not reach the setting";
    EXPECT_TRUE(
        runUntil([&] { return skipsTaskbar(dashboard) != listed && skipsTaskbar(preferences) != listed; }, 5))
        << "dashboard: " << property(dashboard, QStringLiteral("_NET_WM_STATE")).toStdString()
        << "; preferences: " << property(preferences, QStringLiteral("_NET_WM_STATE")).toStdString();
    if (listed) screenshot("2-listed");
  }

  // Off again: the dashboard hidden and shown again from the tray, and a preferences window opened
  // anew, are left out from the moment they show.
  activate(preferences);
  key(QStringLiteral("alt+F4"));
  ASSERT_TRUE(runUntil([&] { return !windows().contains(preferences); }, 10)) << "the preferences stayed";
  ASSERT_TRUE(runUntil([&] { return !dashboardWindow().isEmpty(); }, 5)) << "the dashboard went";
  activate(dashboard);
  clickTrayIcon();
  ASSERT_TRUE(runUntil([&] { return dashboardWindow().isEmpty(); }, 5))
      << "the tray icon did not hide the dashboard";
  // Hidden, the window has no state at all any more: the window manager dropped it.
  runFor(0.5);
  clickTrayIcon();
  ASSERT_TRUE(runUntil([&] { return !dashboardWindow().isEmpty(); }, 5))
      << "the tray icon did not show the dashboard";
  EXPECT_TRUE(skipsTaskbar(dashboardWindow())) << "shown again, the dashboard is in the task bar";
  const QString again = openPreferences();
  ASSERT_FALSE(again.isEmpty());
  EXPECT_NE(again, preferences);
  EXPECT_TRUE(skipsTaskbar(again)) << "opened anew, the preferences window is in the task bar";
  screenshot("3-unlisted-again");
}

}  // namespace
