// The preferences window on a real X server with a window manager and a tray, opened from the status
// item's menu as the application opens it, and the hot key recorded in its general pane, which the
// application grabs from the X server: runs under scripts/xvfb-run-desktop (the CTest entry
// qv_app_tests_xvfb) and skips elsewhere.
#include <gtest/gtest.h>

#include <QtGui/QGuiApplication>
#include <QtGui/QWindow>
#include <QtWidgets/QMenu>
#include <QtWidgets/QSystemTrayIcon>

#include "PreferencesTestSupport.h"
#include "app/AppDelegate.h"
#include "app/WIPreferencesModule.h"
#include "platform/desktop/ZKHotKeyHelper.h"
#include "platform/desktop/testing/X11OtherClient.h"
#include "shell/MTStatusItem.h"
#include "ui_WIPreferencesModule.h"

namespace {

class XvfbPreferencesMenuDelegate : public MTStatusItemDelegate {
 public:
  void menuIconWasClicked() override {}
  bool menuShouldShow() override { return true; }
};

class XvfbPreferencesTest : public preferencestesting::PreferencesTest {
 protected:
  void SetUp() override {
    if (QGuiApplication::platformName() != QStringLiteral("xcb") || qEnvironmentVariableIsEmpty("DISPLAY")) {
      GTEST_SKIP() << "needs a real X server: run under scripts/xvfb-run-desktop";
    }
    PreferencesTest::SetUp();
  }
  void TearDown() override {
    delete item;
    delete menu;
    PreferencesTest::TearDown();
  }

  bool clickAt(QPoint point, int button = 1) {
    return qvtesting::qtRunTool(
        QStringLiteral("xdotool"),
        {QStringLiteral("mousemove"), QString::number(point.x()), QString::number(point.y()),
         QStringLiteral("click"), QString::number(button)});
  }
  void screenshot(const std::string& name) {
    runFor(0.4);
    qvtesting::saveScreenshot("preferences-xvfb", name);
  }
  bool preferencesAreUp() const {
    if (!controller) return false;
    QWidget* window = controller->window();
    return window->isVisible() && window->windowHandle() && window->windowHandle()->isExposed();
  }

  MTStatusItem* item = nullptr;
  QMenu* menu = nullptr;
  XvfbPreferencesMenuDelegate delegate;
};

TEST_F(XvfbPreferencesTest, OpenedFromTheStatusItemsMenuVisitsEveryPane) {
  ASSERT_TRUE(runUntil([] { return QSystemTrayIcon::isSystemTrayAvailable(); }, 5));
  menu = new QMenu;
  QAction* preferences = menu->addAction(QStringLiteral("Preferences…"));
  QObject::connect(preferences, &QAction::triggered, [this] {
    // As the application opens it: a fresh controller, the pane selected, then shown.
    controller = ZKWindowController::controller<PMMainWindowController>();
    controller->selectModuleAtRow(PMMainWindowController::PreferencesRow);
    controller->actuallyShowWindow();
  });
  menu->addAction(QStringLiteral("Quit Quorvane Dashboard"));
  item = new MTStatusItem;
  item->setDelegate(&delegate);
  item->setContextMenu(menu);
  ASSERT_TRUE(runUntil(
      [&] { return item->trayIcon()->geometry().isValid() && !item->trayIcon()->geometry().isEmpty(); }, 10));
  runFor(0.3);

  ASSERT_TRUE(clickAt(item->trayIcon()->geometry().center(), 3));
  ASSERT_TRUE(runUntil([&] { return menu->isVisible(); }, 5));
  screenshot("status-item-menu");
  ASSERT_TRUE(clickAt(menu->mapToGlobal(menu->actionGeometry(preferences).center())));
  ASSERT_TRUE(runUntil([&] { return preferencesAreUp(); }, 5));
  EXPECT_EQ(controller->tableView()->currentRow(), PMMainWindowController::PreferencesRow);
  EXPECT_EQ(controller->window()->windowTitle(), QStringLiteral("Preferences"));
  screenshot("pane-2-opened-from-menu");

  for (int row : {0, 1, 3, 4, 2}) {
    QListWidget* table = controller->tableView();
    const QPoint target = table->viewport()->mapToGlobal(table->visualItemRect(table->item(row)).center());
    ASSERT_TRUE(clickAt(target));
    ASSERT_TRUE(
        runUntil([&] { return controller->currentModule() == controller->modules()[std::size_t(row)]; }, 5))
        << row;
    ASSERT_TRUE(runUntil([&] { return preferencesAreUp(); }, 5));
    screenshot("pane-" + std::to_string(row));
  }

  useTheme("DDDarkTheme");
  screenshot("pane-2-dark");
  useTheme("DDLightTheme");
}

// The X modifier masks of Control and Alt (Mod1), and the design's flags for them.
constexpr std::uint16_t kXControlAlt = (1 << 2) | (1 << 3);
constexpr std::uint64_t kControlOption = (1ull << 18) | (1ull << 19);

TEST_F(XvfbPreferencesTest, AChangedHotKeyLetsGoOfTheOldKeyAndGrabsTheNewOne) {
  // The stored hot key Ctrl+Alt+H, registered by the application delegate as at start-up; the
  // delegate then follows the setting.
  defaults()->setHotKeyCombo({kControlOption, 0x04});
  AppDelegate application;
  application.applicationWillFinishLaunching();
  application.updateHotkeys();
  const std::int64_t firstID = application.hotKeyID();
  ASSERT_GT(firstID, 0) << "the stored hot key was not registered";
  // Whatever happens below, the grabs of this process end with the test.
  struct Release {
    AppDelegate& application;
    ~Release() {
      if (application.hotKeyID() > 0)
        ZKHotKeyHelper::sharedHelper().unregisterHotkeyWithID(
            static_cast<std::uint64_t>(application.hotKeyID()));
    }
  } release{application};

  // Another program cannot have Ctrl+Alt+H (in any lock state) while the application holds it.
  qvtesting::X11OtherClient other;
  ASSERT_TRUE(other.connected());
  const auto before = other.tryGrab('h', kXControlAlt);
  ASSERT_GT(before.tried, 0);
  ASSERT_EQ(before.refused, before.tried);
  ASSERT_EQ(other.tryGrab('j', kXControlAlt).refused, 0);

  // The user clicks the general pane's recorder and types Ctrl+Alt+J.
  openWindow(PMMainWindowController::PreferencesRow);
  ASSERT_TRUE(runUntil([&] { return preferencesAreUp(); }, 5));
  auto* general = pane<WIPreferencesModule>(PMMainWindowController::PreferencesRow);
  ASSERT_NE(general, nullptr);
  HKRecorderControl* recorder = general->form()->hotKeyRecorder;
  ASSERT_EQ(recorder->delegate(), general);
  runFor(0.3);
  ASSERT_TRUE(clickAt(recorder->mapToGlobal(recorder->rect().center())));
  ASSERT_TRUE(runUntil([&] { return recorder->isRecording(); }, 5));
  ASSERT_TRUE(
      qvtesting::qtRunTool(QStringLiteral("xdotool"), {QStringLiteral("key"), QStringLiteral("ctrl+alt+j")}));
  ASSERT_TRUE(runUntil(
      [&] {
        return defaults()->hotKeyCombo() == _KeyCombo{kControlOption, 0x26};
      },
      5))
      << "the recorder did not store Ctrl+Alt+J";
  ASSERT_TRUE(runUntil([&] { return application.hotKeyID() != firstID; }, 5));
  EXPECT_GT(application.hotKeyID(), firstID);
  screenshot("hot-key-recorded");

  // The old key is free for another program again, in every lock state; the new one is held.
  const auto old = other.tryGrab('h', kXControlAlt);
  EXPECT_EQ(old.tried, before.tried);
  EXPECT_EQ(old.refused, 0) << "the old hot key is still grabbed";
  const auto recorded = other.tryGrab('j', kXControlAlt);
  EXPECT_GT(recorded.tried, 0);
  EXPECT_EQ(recorded.refused, recorded.tried) << "the new hot key is not grabbed";

  // Cleared (Backspace in the recorder), no key is held any more.
  ASSERT_TRUE(
      qvtesting::qtRunTool(QStringLiteral("xdotool"), {QStringLiteral("key"), QStringLiteral("BackSpace")}));
  ASSERT_TRUE(runUntil([&] { return application.hotKeyID() == -1; }, 5));
  EXPECT_EQ(defaults()->hotKeyCombo(), _KeyCombo{});
  EXPECT_EQ(other.tryGrab('j', kXControlAlt).refused, 0) << "the cleared hot key is still grabbed";
  EXPECT_EQ(other.tryGrab('h', kXControlAlt).refused, 0);
}

}  // namespace
