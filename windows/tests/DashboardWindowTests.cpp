#include <QtTest/QTest>
#include <QtWidgets/QApplication>

#include "shell/QVUserDefaults.h"
#include "windows/QVDashboardCellView.h"
#include "windows/QVDashboardViewController.h"
#include "windows/QVDashboardWindowController.h"
#include "windows/QVDockedHeaderView.h"
#include "windows/QVHeaderViewController.h"
#include "windows/QVModuleListViewController.h"
#include "windows/tests/DashboardTestSupport.h"

namespace {

class DashboardWindowTest : public qvtesting::DashboardTest {
 protected:
  QVDashboardWindowController* makeWindow() {
    windowController.reset(ZKWindowController::controller<QVDashboardWindowController>());
    QApplication::processEvents();
    return windowController.get();
  }
  QVModuleListViewController* list() { return windowController->moduleListViewController(); }
  void TearDown() override {
    windowController.reset();
    DashboardTest::TearDown();
  }
  std::unique_ptr<QVDashboardWindowController> windowController;
};

TEST_F(DashboardWindowTest, TheWindowSizeSettingGivesTheWidth) {
  const std::pair<std::int64_t, int> cases[] = {{0, 350}, {1, 450}, {2, 550}, {3, 350}, {-1, 350}, {99, 350}};
  for (const auto& [setting, width] : cases)
    EXPECT_EQ(QVDashboardWindowController::windowWidthForSetting(setting), width);
  addGroup("Rows", 1);
  makeWindow();
  EXPECT_EQ(windowController->window()->width(), 450);
  QVUserDefaults::standardUserDefaults()->setWindowSize(2);
  ASSERT_TRUE(runUntil([&] { return windowController->window()->width() == 550; }));
  QVUserDefaults::standardUserDefaults()->setWindowSize(3);
  ASSERT_TRUE(runUntil([&] { return windowController->window()->width() == 350; }));
}

TEST_F(DashboardWindowTest, TheWindowIsAsTallAsHeaderAndOutlinePlusTen) {
  makeWindow();
  auto* header = list()->headerViewController()->view();
  auto* dashboard = list()->dashboardViewController();
  QWidget* window = windowController->window();
  // An empty dashboard counts one row.
  EXPECT_EQ(dashboard->countedRows(), 1);
  ASSERT_TRUE(
      runUntil([&] { return window->height() == header->height() + dashboard->view()->height() + 10; }, 2))
      << window->height() << " " << header->height() << " " << dashboard->view()->height() << " "
      << list()->view()->height() << " " << windowController->contentView()->height();
  EXPECT_EQ(dashboard->outlineView()->height(), QVDashboardCellView::kRowHeight);
  // A group of three: the window grows by three rows and the group row.
  addGroup("Rows", 3);
  ASSERT_TRUE(runUntil([&] { return dashboard->countedRows() == 4; }));
  ASSERT_TRUE(runUntil(
      [&] { return window->height() == header->height() + 4 * QVDashboardCellView::kRowHeight + 6 + 10; }, 2))
      << window->height() << " " << dashboard->view()->height() << " " << list()->view()->height();
  // The height is the rows'; the user can change the width only.
  EXPECT_EQ(window->minimumHeight(), window->maximumHeight());
  EXPECT_LT(window->minimumWidth(), window->maximumWidth());
}

TEST_F(DashboardWindowTest, AnEmptyDashboardAsksForTheEditorInsteadOfShowingTheWindow) {
  makeWindow();
  addGroup("Nothing configured", 0);
  windowController->menuIconWasClicked();
  runFor(0.1);
  EXPECT_FALSE(windowController->window()->isVisible());
  ASSERT_EQ(editorObjects.size(), 1u);
  EXPECT_EQ(editorObjects[0], nullptr);
  // With a configured module the click shows the window, on a later turn of the loop.
  addGroup("Configured", 1);
  windowController->actuallyShowWindow(false);
  EXPECT_FALSE(windowController->window()->isVisible());
  ASSERT_TRUE(runUntil([&] { return windowController->window()->isVisible(); }));
  // Escape puts it away.
  QTest::keyClick(windowController->window(), Qt::Key_Escape);
  ASSERT_TRUE(runUntil([&] { return !windowController->isShown(); }));
}

TEST_F(DashboardWindowTest, TheDockItemFollowsTheStateAndShowsAHiddenWindow) {
  QVUserDefaults::standardUserDefaults()->setIsDocked(false);
  addGroup("Rows", 1);
  makeWindow();
  auto* item = list()->dockMenuItem();
  EXPECT_EQ(item->text(), QStringLiteral("Dock Window"));
  // A reload while floating keeps the window's frame.
  QVUserDefaults::standardUserDefaults()->setUndockedFrame(std::nullopt);
  list()->reloadDataFromNotification();
  ASSERT_TRUE(runUntil([] { return QVUserDefaults::standardUserDefaults()->undockedFrame().has_value(); }));
  ASSERT_FALSE(windowController->window()->isVisible());
  list()->toggleDocked();
  EXPECT_TRUE(QVUserDefaults::standardUserDefaults()->isDocked());
  EXPECT_EQ(item->text(), QStringLiteral("Undock Window"));
  ASSERT_TRUE(runUntil([&] { return windowController->window()->isVisible(); }));
  // Docked: a reload never writes the floating frame.
  QVUserDefaults::standardUserDefaults()->setUndockedFrame(std::nullopt);
  list()->reloadDataFromNotification();
  runFor(0.1);
  EXPECT_FALSE(QVUserDefaults::standardUserDefaults()->undockedFrame().has_value());
  // The header's arrow follows 0.2 s later.
  auto* header = list()->headerViewController()->headerView();
  ASSERT_TRUE(runUntil([&] { return header->showsArrow(); }));
}

TEST_F(DashboardWindowTest, TheHeadersArrowGoesWhereItIsToldAndBackToTheMiddle) {
  QVUserDefaults::standardUserDefaults()->setIsDocked(true);
  addGroup("Rows", 1);
  makeWindow();
  windowController->actuallyShowWindow(false);
  ASSERT_TRUE(runUntil([&] { return windowController->window()->isVisible(); }));
  auto* header = list()->headerViewController()->headerView();
  ASSERT_TRUE(runUntil([&] { return header->showsArrow(); }));
  const int offset = header->mapTo(windowController->window(), QPoint(0, 0)).x();
  const double middle = (header->width() + 1) / 2.0;
  // Two points below the arrow's tip (y-down), in the window's coordinates.
  const auto arrowCovers = [&](double x) {
    return header->backgroundPath().contains(QPointF(x - offset, 2));
  };
  EXPECT_EQ(header->arrowPosition(), std::nullopt);
  EXPECT_TRUE(arrowCovers(offset + middle));
  int outlineChanges = 0;
  QObject::connect(header, &QVDockedHeaderView::backgroundPathDidChange, [&] { ++outlineChanges; });

  // Near the right edge, as for an icon in the screen's corner.
  const double nearTheEdge = offset + header->width() - 12;
  header->setArrowPosition(nearTheEdge);
  EXPECT_TRUE(arrowCovers(nearTheEdge));
  EXPECT_FALSE(arrowCovers(offset + middle));
  EXPECT_EQ(outlineChanges, 1) << "a window shaped to the outline is not told";
  header->setArrowPosition(nearTheEdge);
  EXPECT_EQ(outlineChanges, 1) << "told again for the same place";

  header->setArrowPosition(std::nullopt);
  EXPECT_TRUE(arrowCovers(offset + middle));
  EXPECT_FALSE(arrowCovers(nearTheEdge));
}

TEST_F(DashboardWindowTest, TheHeaderTakesTheThemeColourAndAsksForTheSettingsMenu) {
  makeWindow();
  auto* header = list()->headerViewController();
  auto* view = header->headerView();
  ASSERT_NE(view, nullptr);
  ASSERT_EQ(header->windowButtons().size(), 1u);
  EXPECT_EQ(header->windowButtons()[0]->pos(), QPoint(0, 0));
  const QPainterPath path = view->backgroundPath();
  const QColor light = view->fillColor();
  ZKThemeManager::sharedManager().changeTheme(QStringLiteral("DDDarkTheme"));
  ASSERT_TRUE(runUntil([&] { return view->fillColor() != light; }));
  EXPECT_EQ(view->backgroundPath(), path);
  // The settings button brings up the settings menu.
  QTest::mouseClick(header->settingsButton(), Qt::LeftButton);
  ASSERT_TRUE(runUntil([&] { return list()->settingsMenu()->isVisible(); }));
  list()->settingsMenu()->hide();
  ZKThemeManager::sharedManager().changeTheme(QStringLiteral("DDLightTheme"));
}

TEST_F(DashboardWindowTest, SettingsMenuActionsPostTheirRequestsAndOpenPages) {
  makeWindow();
  std::vector<std::string> requests;
  auto token = platform::NotificationCenter::defaultCenter().addObserverForName(
      "Notification.openPreferences", nullptr,
      [&](const platform::Notification& n) { requests.push_back(n.name); });
  list()->openPreferences();
  list()->manageModules();
  list()->openCustomerSupport();
  list()->openMailingList();
  list()->findMore();
  EXPECT_EQ(requests, std::vector<std::string>{"Notification.openPreferences"});
  EXPECT_EQ(editorObjects.size(), 1u);
  ASSERT_EQ(desktop->openedURLs.size(), 3u);
  EXPECT_EQ(desktop->openedURLs[1].query(), QStringLiteral("ref=moreapps"));
  // This build has no update feed: the menu offers no check.
  EXPECT_FALSE(list()->checkForUpdatesMenuItem()->isVisible());
}

}  // namespace
