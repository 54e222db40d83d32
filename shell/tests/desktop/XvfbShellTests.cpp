// The status item and the dockable window on a real X server with a window manager and a tray: they
// run under scripts/xvfb-run-desktop (the CTest entry qv_app_shell_tests_xvfb) and skip elsewhere.
#include <gtest/gtest.h>

#include <QtGui/QGuiApplication>
#include <QtGui/QScreen>
#include <QtGui/QWindow>
#include <QtWidgets/QLabel>
#include <QtWidgets/QMenu>

#include "ShellTestSupport.h"

namespace {

class XvfbShellTest : public shelltesting::ShellTest {
 protected:
  void SetUp() override {
    if (QGuiApplication::platformName() != QStringLiteral("xcb") || qEnvironmentVariableIsEmpty("DISPLAY")) {
      GTEST_SKIP() << "needs a real X server: run under scripts/xvfb-run-desktop";
    }
    ShellTest::SetUp();
  }

  void TearDown() override {
    delete notes;
    delete controller;
    ShellTest::TearDown();
  }

  bool clickAt(QPoint point) {
    return qvtesting::qtRunTool(QStringLiteral("xdotool"),
                                {QStringLiteral("mousemove"), QString::number(point.x()),
                                 QString::number(point.y()), QStringLiteral("click"), QStringLiteral("1")});
  }

  void screenshot(const std::string& name) {
    runFor(0.3);  // painted
    qvtesting::saveScreenshot("app-shell-xvfb", name);
  }

  bool windowIsUp() const {
    QWidget* window = controller->window();
    return window->isVisible() && window->windowHandle() && window->windowHandle()->isExposed() &&
           window->isActiveWindow();
  }

  STDockableWindowController* controller = nullptr;
  QWidget* notes = nullptr;
};

TEST_F(XvfbShellTest, ClickingTheTrayIconDropsTheWindowBelowItAndClickingElsewhereHidesIt) {
  ASSERT_TRUE(runUntil([] { return QSystemTrayIcon::isSystemTrayAvailable(); }, 5));

  // Another window to click into later.
  notes = new QWidget;
  notes->setWindowTitle(QStringLiteral("Notes"));
  auto* text = new QLabel(QStringLiteral("Another window"), notes);
  text->move(20, 20);
  notes->setGeometry(60, 420, 360, 220);
  notes->show();

  defaults().setIsDocked(true);
  controller = new STDockableWindowController;
  controller->setWindow(shelltesting::makeDashboardWindow(QSize(450, 300)));
  controller->awakeFromNib();
  auto* item = new MTStatusItem;
  controller->setStatusItem(item);
  // The tray takes the icon in and places it: the item's frame is that place on the screen.
  ASSERT_TRUE(runUntil([&] { return !item->frame().isEmpty(); }, 10));
  ASSERT_TRUE(item->isInTray());
  EXPECT_TRUE(controller->hasStatusItemHome());
  EXPECT_FALSE(controller->isShown());
  runFor(0.3);

  const QRect slot = item->frame();
  ASSERT_TRUE(clickAt(slot.center()));
  ASSERT_TRUE(runUntil([&] { return windowIsUp(); }, 5));
  EXPECT_EQ(willShowCount, 1);
  QWidget* window = controller->window();
  const QRect frame = window->geometry();
  const QRect available = window->screen()->availableGeometry();
  // Hanging right below the tray, on the screen, at the right edge where the tray is at the right.
  EXPECT_EQ(frame.top(), std::max(slot.bottom() + 1, available.top()));
  EXPECT_LE(frame.right(), available.right());
  EXPECT_EQ(frame,
            STDockingGeometry::dockedFrame(slot, frame.size(), STDockableWindowController::screenAreas()));
  // Its arrow points at the icon, not at the window's middle.
  EXPECT_EQ(controller->dockedArrowPosition(), slot.x() + slot.width() * 0.5 - frame.x());
  EXPECT_TRUE(window->windowFlags() & Qt::FramelessWindowHint);
  EXPECT_EQ(window->windowOpacity(), 1.0) << "no compositor here: shown at once";
  EXPECT_TRUE(item->active());
  screenshot("docked-window-open");

  // A click into the other window takes the focus: the dashboard hides and says so.
  ASSERT_TRUE(clickAt(notes->geometry().center()));
  ASSERT_TRUE(runUntil([&] { return didHideCount == 1; }, 5));
  EXPECT_FALSE(window->isVisible());
  EXPECT_FALSE(item->active());
  screenshot("docked-window-hidden");

  // The tray icon toggles: open, then closed again by a second click (well apart).
  runFor(0.3);
  ASSERT_TRUE(clickAt(slot.center()));
  ASSERT_TRUE(runUntil([&] { return windowIsUp(); }, 5));
  EXPECT_EQ(willShowCount, 2);
  runFor(0.3);
  ASSERT_TRUE(clickAt(slot.center()));
  ASSERT_TRUE(runUntil([&] { return didHideCount == 2; }, 5));
  runFor(0.3);
  EXPECT_FALSE(window->isVisible());
  EXPECT_EQ(willShowCount, 2);
  EXPECT_EQ(didHideCount, 2);
}

TEST_F(XvfbShellTest, TheItemIsLitWhileTheWindowIsKeyEvenAfterItsMenuCloses) {
  ASSERT_TRUE(runUntil([] { return QSystemTrayIcon::isSystemTrayAvailable(); }, 5));
  controller = new STDockableWindowController;
  controller->setWindow(shelltesting::makeDashboardWindow(QSize(450, 300)));
  controller->awakeFromNib();
  auto* item = new MTStatusItem;
  controller->setStatusItem(item);
  QMenu menu;
  menu.addAction(QStringLiteral("Dock Window"));
  item->setContextMenu(&menu);

  // The same menu opens from the window's settings button: closing it leaves the key window's item
  // lit.
  controller->actuallyShowWindow(false);
  ASSERT_TRUE(runUntil([&] { return windowIsUp(); }, 5));
  EXPECT_TRUE(item->active());
  menu.popup(controller->window()->geometry().center());
  ASSERT_TRUE(runUntil([&] { return menu.isVisible(); }, 3));
  runFor(0.2);
  menu.close();
  runFor(0.3);
  EXPECT_TRUE(windowIsUp());
  EXPECT_TRUE(item->active()) << "the highlight went with the menu";

  // Opened from the item with the window away: the highlight lasts as long as the menu.
  controller->actuallyHideWindow(false);
  EXPECT_FALSE(item->active());
  item->rightMouseDown(QPoint(100, 10));
  ASSERT_TRUE(runUntil([&] { return menu.isVisible(); }, 3));
  EXPECT_TRUE(item->active());
  menu.close();
  runFor(0.3);
  EXPECT_FALSE(item->active());
  EXPECT_FALSE(controller->window()->isVisible());
}

}  // namespace
