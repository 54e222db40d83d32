// The dockable window on the offscreen desktop, with a stand-in tray slot: every way of hiding posts
// "DockableWindowDidHide" once, the exceptions of hiding on focus loss, clicks, docking and floating,
// and the desktop without a tray.
#include <gtest/gtest.h>

#include <QtGui/QAction>
#include <QtGui/QGuiApplication>
#include <QtGui/QScreen>
#include <QtGui/QWindow>
#include <QtTest/QTest>
#include <QtWidgets/QApplication>
#include <functional>

#include "ShellTestSupport.h"
#include "shell/ZKCore.h"

namespace {

using shelltesting::SlotStatusItem;
using shelltesting::TestDockableWindowController;

constexpr QSize kWindowSize(450, 300);

class DockableWindowTest : public shelltesting::ShellTest {
 public:
  void TearDown() override {
    delete other;
    delete controller;
    ZKCore::setHooks({});
    ZKCHappinessManager::sharedInstance().setRatingWindowIsVisible(false);
    ShellTest::TearDown();
  }

  // A controller with the dashboard window, docked or floating, at a tray slot (or none: the plain
  // item of a desktop without a tray).
  void make(bool docked, std::optional<QRect> slot = QRect(600, 0, 24, 24)) {
    defaults().setIsDocked(docked);
    controller = new TestDockableWindowController;
    controller->setWindow(shelltesting::makeDashboardWindow(kWindowSize));
    controller->awakeFromNib();
    if (slot) {
      item = new SlotStatusItem(*slot);
      controller->setStatusItem(item);
    } else {
      controller->setStatusItem(new MTStatusItem);
    }
    window = controller->window();
    runFor(0.05);  // the delayed docking at load
  }

  // Shows the window and waits until it has the focus.
  void showAndFocus() {
    if (QGuiApplication::focusWindow() && QGuiApplication::focusWindow() == window->windowHandle() &&
        !window->isVisible()) {
      // The offscreen desktop leaves the focus on a hidden window (a real one moves it on when the
      // window goes), and would not activate the window again: another window takes it first.
      focusOther();
      other->hide();
    }
    controller->actuallyShowWindow(false);
    ASSERT_TRUE(runUntil([&] { return window->isVisible() && window->isActiveWindow(); }, 5))
        << "active "
        << (QApplication::activeWindow() ? QApplication::activeWindow()->windowTitle().toStdString() : "none")
        << " focus "
        << (QGuiApplication::focusWindow() ? QGuiApplication::focusWindow()->title().toStdString() : "none")
        << " visible " << window->isVisible() << " opacity " << window->windowOpacity();
  }

  // Another window of the application, which takes the focus.
  void focusOther(const QString& title = QStringLiteral("Notes")) {
    if (!other) {
      other = new QWidget;
      other->resize(200, 100);
    }
    other->setWindowTitle(title);
    other->show();
    other->activateWindow();
    ASSERT_TRUE(runUntil([&] { return other->isActiveWindow(); }, 5));
  }

  // A while for the controller to react (and for a wrong second notification to show).
  void settle() { runFor(0.1); }

  TestDockableWindowController* controller = nullptr;
  SlotStatusItem* item = nullptr;
  QWidget* window = nullptr;
  QWidget* other = nullptr;
};

TEST_F(DockableWindowTest, EveryWayOfHidingEndsInOneDidHide) {
  struct Way {
    const char* name;
    std::function<void(DockableWindowTest&)> hide;
    bool minimised;
  };
  const Way ways[] = {
      {"close request", [](DockableWindowTest& t) { t.window->close(); }, false},
      {"Escape", [](DockableWindowTest& t) { QTest::keyClick(t.window, Qt::Key_Escape); }, false},
      {"focus loss", [](DockableWindowTest& t) { t.focusOther(); }, false},
      {"status item click or hot key", [](DockableWindowTest& t) { t.controller->menuIconWasClicked(); },
       false},
      {"menu action",
       [](DockableWindowTest& t) {
         QAction hide(QStringLiteral("Hide Dashboard"));
         QObject::connect(&hide, &QAction::triggered, t.controller,
                          [&t] { t.controller->actuallyHideWindow(true); });
         hide.trigger();
       },
       false},
      {"hidden by other code", [](DockableWindowTest& t) { t.window->hide(); }, false},
      {"minimised by the desktop", [](DockableWindowTest& t) { t.window->showMinimized(); }, true},
  };
  make(true);
  for (const auto& way : ways) {
    SCOPED_TRACE(way.name);
    runFor(0.25);  // apart from the previous click
    willShowCount = didHideCount = 0;
    showAndFocus();
    EXPECT_EQ(willShowCount, 1);
    EXPECT_TRUE(item->active());
    way.hide(*this);
    ASSERT_TRUE(runUntil([&] { return didHideCount == 1; }, 3));
    settle();
    EXPECT_EQ(didHideCount, 1);
    EXPECT_EQ(willShowCount, 1);
    EXPECT_FALSE(controller->isShown());
    EXPECT_FALSE(item->active());
    EXPECT_TRUE(way.minimised ? window->isMinimized() : !window->isVisible());
    if (other) other->hide();
  }
  // Restored by the desktop, the window is shown again; hidden once more, then hiding a hidden
  // window tells nothing more.
  willShowCount = didHideCount = 0;
  window->showNormal();
  ASSERT_TRUE(runUntil([&] { return willShowCount == 1; }, 3));
  controller->actuallyHideWindow(false);
  controller->actuallyHideWindow(false);
  settle();
  EXPECT_EQ(didHideCount, 1);
}

TEST_F(DockableWindowTest, LosingTheFocusHidesUnlessSomethingSaysOtherwise) {
  struct Case {
    const char* name;
    std::function<void(DockableWindowTest&)> arrange;
    QString otherTitle;
    bool itemActiveAfter;
  };
  const Case cases[] = {
      {"an alert is up",
       [](DockableWindowTest&) {
         platform::NotificationCenter::defaultCenter().postNotificationName(
             STDisableWindowClosingNotification);
       },
       QStringLiteral("Could not install"), false},
      {"an update window", [](DockableWindowTest&) {}, QStringLiteral("Software Update"), false},
      {"an updating window", [](DockableWindowTest&) {}, QStringLiteral("Updating Quorvane Dashboard"),
       false},
      {"the rating prompt",
       [](DockableWindowTest&) { ZKCHappinessManager::sharedInstance().setRatingWindowIsVisible(true); },
       QStringLiteral("Rate"), false},
      {"keep visible", [](DockableWindowTest& t) { t.defaults().setIsBackgroundApp(true); },
       QStringLiteral("Notes"), false},
  };
  make(true);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    showAndFocus();
    didHideCount = 0;
    c.arrange(*this);
    focusOther(c.otherTitle);
    settle();
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(didHideCount, 0);
    // The update windows and a closing-disabled window leave the highlight as it was; the others
    // clear it.
    if (c.otherTitle.startsWith(QLatin1String("Software")) ||
        c.otherTitle.startsWith(QLatin1String("Updating"))) {
      EXPECT_TRUE(item->active());
    } else if (QString::fromLatin1(c.name) == QLatin1String("keep visible")) {
      EXPECT_FALSE(item->active());
    }
    // Back to normal: the next focus loss hides.
    platform::NotificationCenter::defaultCenter().postNotificationName(STEnableWindowClosingNotification);
    ZKCHappinessManager::sharedInstance().setRatingWindowIsVisible(false);
    defaults().setIsBackgroundApp(false);
    other->hide();
    showAndFocus();
    focusOther(QStringLiteral("Notes"));
    ASSERT_TRUE(runUntil([&] { return didHideCount == 1; }, 3));
    EXPECT_FALSE(window->isVisible());
    other->hide();
  }
}

TEST_F(DockableWindowTest, ThePreferencesWindowKeepsTheDashboardAndComesToTheFront) {
  make(true);
  QWidget preferences;
  preferences.setWindowTitle(QStringLiteral("Preferences"));
  preferences.resize(600, 400);
  controller->setPreferencesWindow(&preferences);
  showAndFocus();
  preferences.show();
  preferences.activateWindow();
  ASSERT_TRUE(runUntil([&] { return preferences.isActiveWindow(); }, 5));
  settle();
  EXPECT_TRUE(window->isVisible()) << "focus went to the preferences: the dashboard stays";
  EXPECT_TRUE(item->active());

  // A click while the preferences are up shows the dashboard and gives the preferences the focus.
  runFor(0.25);
  controller->menuIconWasClicked();
  settle();
  EXPECT_TRUE(window->isVisible());
  EXPECT_TRUE(preferences.isActiveWindow());
  EXPECT_EQ(didHideCount, 0);
}

TEST_F(DockableWindowTest, ASecondClickSoonAfterTheFirstTogglesAtOnce) {
  make(true);
  controller->fades = true;  // as with a compositor
  showAndFocus();
  runFor(0.25);
  controller->menuIconWasClicked();  // hides, fading
  EXPECT_TRUE(window->isVisible()) << "the fade is under way";
  EXPECT_EQ(didHideCount, 0);
  runFor(0.1);
  controller->menuIconWasClicked();  // still key and visible: hides without a fade
  EXPECT_EQ(didHideCount, 1);
  EXPECT_FALSE(window->isVisible());
  settle();
  runFor(0.25);
  EXPECT_EQ(didHideCount, 1) << "the replaced fade tells nothing more";

  // Apart: the window fades in.
  controller->menuIconWasClicked();
  EXPECT_TRUE(window->isVisible());
  EXPECT_LT(window->windowOpacity(), 1.0);
  ASSERT_TRUE(runUntil([&] { return window->windowOpacity() == 1.0; }, 3));
  EXPECT_EQ(willShowCount, 2);
}

TEST_F(DockableWindowTest, WithoutACompositorTheWindowShowsAndHidesAtOnce) {
  make(true);
  controller->actuallyShowWindow(true);
  EXPECT_TRUE(window->isVisible());
  EXPECT_EQ(window->windowOpacity(), 1.0);
  controller->actuallyHideWindow(true);
  EXPECT_FALSE(window->isVisible());
  EXPECT_EQ(didHideCount, 1);
}

TEST_F(DockableWindowTest, ADockedWindowHangsAtItsItemAndFollowsItsLength) {
  make(true);
  const auto screens = STDockableWindowController::screenAreas();
  EXPECT_EQ(window->windowFlags() & Qt::WindowType_Mask, Qt::Tool);
  EXPECT_TRUE(window->windowFlags() & Qt::FramelessWindowHint);
  showAndFocus();
  EXPECT_EQ(window->geometry(), STDockingGeometry::dockedFrame(QRect(600, 0, 24, 24), kWindowSize, screens));
  EXPECT_EQ(window->geometry().top(), 24);

  // The item widens (a badge): the shown window moves at once.
  const QRect wider(300, 0, 60, 24);
  item->setSlot(wider);
  item->setBadge(QStringLiteral("12"));
  ASSERT_TRUE(runUntil(
      [&] { return window->geometry() == STDockingGeometry::dockedFrame(wider, kWindowSize, screens); }, 3));
  EXPECT_EQ(window->geometry().x(), 330 - 225);

  // Hidden, it stays until shown again.
  controller->actuallyHideWindow(false);
  const QRect hiddenAt = window->geometry();
  item->setSlot(QRect(100, 0, 24, 24));
  item->setBadge(QString());
  settle();
  EXPECT_EQ(window->geometry(), hiddenAt);
  showAndFocus();
  EXPECT_EQ(window->geometry(), STDockingGeometry::dockedFrame(QRect(100, 0, 24, 24), kWindowSize, screens));
}

TEST_F(DockableWindowTest, ADockedWindowFollowsItsItemAcrossTheTrayWithItsArrowAtTheItem) {
  const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
  ASSERT_GT(area.width(), kWindowSize.width() + 60) << "room for a window in the middle";
  // The item in a panel at the top of the free area, the window right below it.
  const int top = area.top() + 24;
  const QRect middle(area.center().x() - 12, area.top(), 24, 24);
  make(true, middle);
  int arrowMoves = 0;
  QObject::connect(controller, &STDockableWindowController::dockedArrowPositionDidChange,
                   [&] { ++arrowMoves; });
  showAndFocus();
  const QRect centred(middle.center().x() + 1 - 225, top, 450, 300);
  EXPECT_EQ(window->geometry(), centred);
  EXPECT_EQ(controller->dockedArrowPosition(), 225.0);

  struct Case {
    const char* name;
    QRect slot;
    QRect frame;
    double arrow;
  };
  const Case cases[] = {
      {"to the screen's right edge: kept on the screen, the arrow under the item",
       QRect(area.right() - 29, area.top(), 24, 24), QRect(area.right() + 1 - 450, top, 450, 300), 450 - 18},
      {"to the left edge", QRect(area.left(), area.top(), 24, 24), QRect(area.left(), top, 450, 300), 12},
      {"back to the middle", middle, centred, 225},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const int before = arrowMoves;
    // The tray moves the item: the shown window follows at once.
    item->setSlot(c.slot);
    Q_EMIT item->frameDidChange();
    EXPECT_TRUE(runUntil([&] { return window->geometry() == c.frame; }, 3)) << "the window did not follow";
    EXPECT_EQ(controller->dockedArrowPosition(), c.arrow);
    EXPECT_EQ(arrowMoves, before + 1);
  }

  // Hidden, it stays until shown again.
  controller->actuallyHideWindow(false);
  item->setSlot(cases[0].slot);
  Q_EMIT item->frameDidChange();
  settle();
  EXPECT_EQ(window->geometry(), centred);
  showAndFocus();
  EXPECT_EQ(window->geometry(), cases[0].frame);
  EXPECT_EQ(controller->dockedArrowPosition(), cases[0].arrow);
}

TEST_F(DockableWindowTest, FloatingRemembersItsFrameAndDockingSavesIt) {
  make(false);
  EXPECT_FALSE(controller->docked());
  window->setGeometry(QRect(40, 60, 450, 300));
  showAndFocus();
  ASSERT_TRUE(runUntil([&] { return defaults().undockedFrame().has_value(); }, 3));
  EXPECT_EQ(STDockingGeometry::frameFromString(*defaults().undockedFrame(),
                                               STDockableWindowController::screenAreas()),
            QRect(40, 60, 450, 300));

  controller->toggleDocked();  // docks: the floating frame is kept first
  EXPECT_TRUE(controller->docked());
  EXPECT_TRUE(defaults().isDocked());
  window->move(5, 5);  // a docked window's moves are not remembered
  settle();
  ASSERT_TRUE(defaults().undockedFrame());
  EXPECT_TRUE(defaults().undockedFrame()->starts_with("40 60 450 300"));

  controller->toggleDocked();  // floats again, at the saved frame
  EXPECT_FALSE(defaults().isDocked());
  ASSERT_TRUE(runUntil([&] { return window->geometry() == QRect(40, 60, 450, 300); }, 3));

  // Undocking with no saved frame leaves the window where it is.
  defaults().setUndockedFrame(std::nullopt);
  window->setGeometry(QRect(90, 110, 450, 300));
  controller->undockWindowAnimated(false);
  EXPECT_EQ(window->geometry(), QRect(90, 110, 450, 300));
}

TEST_F(DockableWindowTest, KeepAboveFollowsItsSetting) {
  make(true);
  showAndFocus();
  EXPECT_FALSE(window->windowFlags() & Qt::WindowStaysOnTopHint);
  defaults().setShouldKeepAbove(true);
  ASSERT_TRUE(runUntil([&] { return bool(window->windowFlags() & Qt::WindowStaysOnTopHint); }, 3));
  EXPECT_TRUE(window->windowHandle()->flags() & Qt::WindowStaysOnTopHint);
  EXPECT_TRUE(window->isVisible()) << "changing the level does not hide the window";
  EXPECT_EQ(didHideCount, 0);
  defaults().setShouldKeepAbove(false);
  ASSERT_TRUE(runUntil([&] { return !(window->windowFlags() & Qt::WindowStaysOnTopHint); }, 3));
}

TEST_F(DockableWindowTest, TheFrameworksWindowMayComeFirst) {
  int shownInstead = 0;
  bool mayShow = false;
  ZKCore::setHooks({[&] { return mayShow; }, [&] { ++shownInstead; }, nullptr});
  make(true);
  controller->menuIconWasClicked();
  EXPECT_EQ(shownInstead, 1);
  EXPECT_FALSE(window->isVisible());
  EXPECT_FALSE(controller->menuShouldShow());
  mayShow = true;
  EXPECT_TRUE(controller->menuShouldShow());
}

TEST_F(DockableWindowTest, WithoutATrayTheWindowFloatsInTheWindowList) {
  if (QSystemTrayIcon::isSystemTrayAvailable()) GTEST_SKIP() << "this desktop has a tray";
  make(true, std::nullopt);
  EXPECT_FALSE(controller->hasStatusItemHome());
  EXPECT_EQ(window->windowFlags() & Qt::WindowType_Mask, Qt::Window) << "listed by the desktop, not a tool";
  window->setGeometry(QRect(70, 80, 450, 300));
  showAndFocus();
  EXPECT_EQ(window->geometry(), QRect(70, 80, 450, 300)) << "not docked anywhere";
  controller->actuallyHideWindow(false);
  EXPECT_TRUE(window->isMinimized()) << "kept in the window list";
  EXPECT_EQ(didHideCount, 1);
  // Brought back from the window list: shown like any other time.
  window->showNormal();
  ASSERT_TRUE(runUntil([&] { return willShowCount == 2; }, 3));
  EXPECT_TRUE(controller->isShown());
}

}  // namespace
