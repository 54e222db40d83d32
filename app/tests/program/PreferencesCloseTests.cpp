// Closing the preferences window and starting the program again while it runs: the close asks first
// (the program runs on in the background) and keeps the window until the answer, the answer can
// silence the question for good, and a second start brings back only what there is to show.
#include <QtWidgets/QApplication>
#include <QtWidgets/QCheckBox>
#include <QtWidgets/QMessageBox>
#include <QtWidgets/QWidget>
#include <filesystem>

#include "app/PMMainWindowController.h"
#include "app/tests/program/ProgramTest.h"
#include "engine/QVEngineSettings.h"
#include "uikit/ZKAlert.h"

namespace {

namespace fs = std::filesystem;
using qvprogram::ProgramTest;

const QString kCloseAlertText = QStringLiteral("Quorvane Dashboard will continue to run in the background");

class PreferencesCloseXvfbTest : public ProgramTest {
 protected:
  // "Preferences…", the fifth entry of the tray icon's menu; the window, once it is shown.
  QString openPreferencesFromTrayMenu() {
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

  // Closes the window as a user does: Alt+F4, which the window manager turns into a close request.
  void closeWithWindowManager(const QString& window) {
    activate(window);
    key(QStringLiteral("alt+F4"));
  }

  // The program's visible window that is transient for `window` (its alert), or an empty string.
  QString alertOver(const QString& window) const {
    for (const auto& id : windows()) {
      const auto owner = property(id, QStringLiteral("WM_TRANSIENT_FOR"));
      const auto at = owner.indexOf(QStringLiteral("0x"));
      if (at >= 0 && QString::number(owner.mid(at).toULongLong(nullptr, 16)) == window) return id;
    }
    return {};
  }

  bool suppressed() const {
    return settingsFile()->boolForKey(PMMainWindowController::kSuppressQuitAlertKey);
  }

  // Where the alert's suppression box sits inside the alert: the same alert laid out in this process
  // by the same presenter.
  static QPoint suppressionBoxOffset() {
    auto alert = ZKAlert::alert();
    alert->messageText = kCloseAlertText;
    alert->alertStyle = ZKAlert::Style::Warning;
    alert->addButtonWithTitle(QStringLiteral("Okay"));
    alert->showsSuppressionButton = true;
    ZKMessageBoxPresenter().beginSheet(alert, nullptr, {});
    QMessageBox* box = nullptr;
    qvtesting::qtRunUntil([&] {
      for (auto* widget : QApplication::topLevelWidgets()) {
        if (auto* found = qobject_cast<QMessageBox*>(widget); found && found->isVisible()) box = found;
      }
      return box != nullptr;
    });
    if (!box || !box->checkBox()) {
      ADD_FAILURE() << "the alert could not be laid out here";
      return {};
    }
    qvtesting::qtRunFor(0.2);
    QCheckBox* check = box->checkBox();
    const QPoint offset = check->mapTo(box, QPoint(10, check->height() / 2));
    box->close();
    return offset;
  }
};

TEST_F(PreferencesCloseXvfbTest, TheCloseAlertKeepsTheWindowUntilAnsweredAndCanBeSilenced) {
  launch();
  ASSERT_TRUE(runUntil([&] { return !dashboardWindow().isEmpty(); }, 20)) << "the dashboard did not appear";
  const QPoint boxOffset = suppressionBoxOffset();

  // Answered with the box left off: the window stays until the answer, then goes; the dashboard
  // (which has modules) comes back. Answered with the box ticked: the choice is kept.
  for (const bool tick : {false, true}) {
    SCOPED_TRACE(tick ? "box ticked" : "box left off");
    const auto preferences = openPreferencesFromTrayMenu();
    ASSERT_FALSE(preferences.isEmpty());
    closeWithWindowManager(preferences);
    QString alert;
    ASSERT_TRUE(runUntil([&] { return !(alert = alertOver(preferences)).isEmpty(); }, 10))
        << "no alert came on closing the preferences window";
    runFor(0.5);
    EXPECT_TRUE(windows().contains(preferences)) << "the preferences window went before the answer";
    EXPECT_TRUE(windows().contains(alert)) << "the alert went unanswered";
    if (tick) {
      clickInWindow(alert, boxOffset);
    } else {
      screenshot("close-alert");
    }
    activate(alert);
    key(QStringLiteral("Return"));
    ASSERT_TRUE(runUntil([&] { return !windows().contains(preferences) && !windows().contains(alert); }, 10))
        << "the answered alert did not close the preferences window";
    EXPECT_TRUE(runUntil([&] { return !dashboardWindow().isEmpty(); }, 5))
        << "the dashboard did not come back";
    EXPECT_EQ(suppressed(), tick);
  }
  screenshot("after-close");

  // Silenced: the next close asks nothing.
  const auto preferences = openPreferencesFromTrayMenu();
  ASSERT_FALSE(preferences.isEmpty());
  closeWithWindowManager(preferences);
  ASSERT_TRUE(runUntil([&] { return !windows().contains(preferences); }, 10))
      << "the silenced close did not close the window";
  EXPECT_TRUE(alertOver(preferences).isEmpty());
  EXPECT_TRUE(windowNamed(QStringLiteral("Preferences")).isEmpty()) << "an alert came after all";
}

// A second start without paths while the dashboard has no configured module: the preferences window
// is brought forward only when it is up; nothing else opens.
TEST_F(PreferencesCloseXvfbTest, ASecondStartWithAnEmptyDashboardOpensNothing) {
  {
    // No default data: the dashboard starts with one empty group. Closing asks nothing.
    auto settings = settingsFile();
    QVEngineSettings::setLoadedDefaults(*settings, true);
    settings->setBool(true, PMMainWindowController::kSuppressQuitAlertKey);
    settings->synchronize();
  }
  launch();
  // With nothing to show, start-up shows the module configuration.
  const auto preferences = waitForWindow(QStringLiteral("Module Config"), 20);
  ASSERT_FALSE(preferences.isEmpty()) << "start-up showed no module configuration";
  EXPECT_TRUE(dashboardWindow().isEmpty());

  // While it is up, a second start leaves it up and opens no dashboard.
  ASSERT_EQ(runSecondStart({}), 0);
  EXPECT_TRUE(windows().contains(preferences));
  EXPECT_EQ(visibleWindowCount(), 1);

  closeWithWindowManager(preferences);
  ASSERT_TRUE(runUntil([&] { return visibleWindowCount() == 0; }, 10)) << "the preferences window stayed";

  // Closed: a second start opens nothing. A later start with a package path then asks about it: once
  // that question is up, whatever the first start opened would be up too.
  ASSERT_EQ(runSecondStart({}), 0);
  ASSERT_EQ(runSecondStart({QString::fromStdString((root() / "Nothing.quorvanemodule").string())}), 0);
  ASSERT_TRUE(runUntil([&] { return visibleWindowCount() > 0; }, 10)) << "the install question did not come";
  runFor(0.3);
  screenshot("second-start-empty");
  EXPECT_TRUE(windowNamed(QStringLiteral("Module Config")).isEmpty())
      << "the second start opened the preferences";
  EXPECT_EQ(visibleWindowCount(), 1) << "more than the install question is up";
  const auto question = windowNamed(QStringLiteral("Quorvane Dashboard"));
  ASSERT_FALSE(question.isEmpty());
  activate(question);
  key(QStringLiteral("Escape"));
  EXPECT_TRUE(runUntil([&] { return visibleWindowCount() == 0; }, 10));
}

}  // namespace
