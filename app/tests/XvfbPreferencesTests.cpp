// The preferences window on a real X server with a window manager and a tray, opened from the status
// item's menu as the application opens it: runs under scripts/xvfb-run-desktop (the CTest entry
// qv_app_shell_tests_xvfb) and skips elsewhere.
#include <gtest/gtest.h>

#include <QtGui/QGuiApplication>
#include <QtGui/QWindow>
#include <QtWidgets/QMenu>
#include <QtWidgets/QSystemTrayIcon>

#include "PreferencesTestSupport.h"
#include "shell/MTStatusItem.h"

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

}  // namespace
