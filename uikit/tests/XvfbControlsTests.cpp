// The gallery on a real X server with a window manager: a switch clicked and dragged with the pointer
// and toggled with the keyboard through the X server, and a module row's context menu opened by a
// right click, kept as screenshots (test-artefacts/uikit-xvfb). They run under
// scripts/xvfb-run-desktop (the CTest entry qv_uikit_tests_xvfb) and skip elsewhere.
#include <gtest/gtest.h>

#include <QtGui/QGuiApplication>
#include <QtGui/QWindow>
#include <QtWidgets/QMenu>

#include "platform/desktop/testing/GuiTest.h"
#include "uikit/ITSwitch.h"
#include "uikit/NSTableView+Helpers.h"
#include "uikit/SBOutlineView.h"
#include "uikit/ZKThemeManager.h"
#include "uikit/gallery/QVGalleryWindow.h"

namespace {

class XvfbControlsTest : public qvtesting::GuiTest {
 protected:
  void SetUp() override {
    if (QGuiApplication::platformName() != QStringLiteral("xcb") || qEnvironmentVariableIsEmpty("DISPLAY")) {
      GTEST_SKIP() << "needs a real X server: run under scripts/xvfb-run-desktop";
    }
    GuiTest::SetUp();
  }
  void TearDown() override {
    if (QGuiApplication::platformName() != QStringLiteral("xcb")) return;
    ZKThemeManager::sharedManager().changeTheme(QStringLiteral("DDLightTheme"));
    GuiTest::TearDown();
  }
  static bool xdotool(const QStringList& arguments) {
    return qvtesting::qtRunTool(QStringLiteral("xdotool"), arguments);
  }
  static QStringList at(const QPoint& p) {
    return {QStringLiteral("mousemove"), QString::number(p.x()), QString::number(p.y())};
  }
};

TEST_F(XvfbControlsTest, SwitchAndOutlineDrivenThroughTheXServer) {
  ZKThemeManager::sharedManager().changeTheme(QStringLiteral("DDDarkTheme"));
  QVGalleryWindow window;
  window.move(40, 40);
  window.show();
  ASSERT_TRUE(runUntil([&] { return window.windowHandle() && window.windowHandle()->isExposed(); }));
  window.activateWindow();
  runFor(0.3);

  // A click toggles the switch and sends its action once.
  ITSwitch* control = window.firstSwitch();
  ASSERT_NE(control, nullptr);
  int actions = 0;
  QObject::connect(control, &ITSwitch::action, [&] { ++actions; });
  const QPoint center = control->mapToGlobal(control->rect().center());
  ASSERT_TRUE(xdotool(at(center) << QStringLiteral("click") << QStringLiteral("1")));
  ASSERT_TRUE(runUntil([&] { return actions == 1; }, 5));
  EXPECT_TRUE(control->checked());

  // A press, a drag to the left half and a release toggles again.
  const QPoint right = control->mapToGlobal(QPoint(control->width() - 4, control->height() / 2));
  const QPoint left = control->mapToGlobal(QPoint(4, control->height() / 2));
  ASSERT_TRUE(xdotool(at(right) << QStringLiteral("mousedown") << QStringLiteral("1")));
  ASSERT_TRUE(runUntil([&] { return control->isActive(); }, 5));
  ASSERT_TRUE(xdotool(at(left)));
  ASSERT_TRUE(runUntil([&] { return control->hasDragged(); }, 5));
  EXPECT_FALSE(control->isDraggingTowardsOn());
  qvtesting::saveScreenshot("uikit-xvfb", "switch-dragging");
  ASSERT_TRUE(xdotool({QStringLiteral("mouseup"), QStringLiteral("1")}));
  ASSERT_TRUE(runUntil([&] { return actions == 2; }, 5));
  EXPECT_FALSE(control->checked());

  // Space toggles the focused switch.
  control->setFocus(Qt::TabFocusReason);
  ASSERT_TRUE(runUntil([&] { return control->hasFocus(); }, 5));
  ASSERT_TRUE(xdotool({QStringLiteral("key"), QStringLiteral("space")}));
  ASSERT_TRUE(runUntil([&] { return actions == 3; }, 5));
  EXPECT_TRUE(control->checked());

  // A right click on a module row opens its menu, marking that row; on a group row nothing opens.
  SBOutlineView* outline = window.outline();
  QMenu* menu = outline->menu();
  ASSERT_NE(menu, nullptr);
  const QModelIndex group = outline->itemAtRow(0);
  ASSERT_TRUE(xdotool(at(outline->viewport()->mapToGlobal(outline->visualRect(group).center()))
                      << QStringLiteral("click") << QStringLiteral("3")));
  runFor(0.4);
  EXPECT_FALSE(menu->isVisible());
  const QModelIndex module = outline->itemAtRow(2);
  ASSERT_TRUE(xdotool(at(outline->viewport()->mapToGlobal(outline->visualRect(module).center()))
                      << QStringLiteral("click") << QStringLiteral("3")));
  ASSERT_TRUE(runUntil([&] { return menu->isVisible(); }, 5));
  EXPECT_EQ(zk_clickedRow(outline), 2);
  runFor(0.3);
  qvtesting::saveScreenshot("uikit-xvfb", "outline-menu");
  ASSERT_TRUE(xdotool({QStringLiteral("key"), QStringLiteral("Escape")}));
  ASSERT_TRUE(runUntil([&] { return !menu->isVisible() && zk_clickedRow(outline) == -1; }, 5));
}

}  // namespace
