// The application's task-bar entries on a real X desktop (Xvfb with openbox): the choice reaches the
// windows on the screen through the window manager, each window shown later carries it from its map
// on, also after a hide, and windows that keep their entry or that the window manager never manages
// are left alone.
#include <gtest/gtest.h>

#include <QtGui/QGuiApplication>
#include <QtGui/QWindow>
#include <memory>

#include "platform/desktop/DesktopTaskbar.h"
#include "platform/desktop/testing/GuiTest.h"

namespace {

using qvtesting::qtRunUntil;

class DesktopTaskbarXvfbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (QGuiApplication::platformName() != QStringLiteral("xcb")) GTEST_SKIP() << "needs an X desktop";
  }
  // The windows of the other tests stay listed.
  void TearDown() override { platform::setApplicationListedInTaskbar(true); }

  static std::unique_ptr<QWindow> shown(Qt::WindowFlags flags = Qt::Window, bool alwaysListed = false) {
    auto window = std::make_unique<QWindow>();
    window->setFlags(flags);
    window->resize(160, 90);
    platform::setWindowAlwaysListedInTaskbar(window.get(), alwaysListed);
    window->show();
    EXPECT_TRUE(qtRunUntil([&] { return window->isExposed(); }, 5));
    return window;
  }
};

TEST_F(DesktopTaskbarXvfbTest, ShownWindowsFollowTheChoiceAndLaterShowsCarryIt) {
  platform::setApplicationListedInTaskbar(false);
  EXPECT_FALSE(platform::applicationListedInTaskbar());
  auto window = shown();
  auto tool = shown(Qt::Tool);
  auto kept = shown(Qt::Window, true);
  // The state is there from the map on: nothing else had to happen first.
  EXPECT_TRUE(platform::windowSkipsTaskbar(window.get()));
  EXPECT_TRUE(platform::windowSkipsTaskbar(tool.get()));
  EXPECT_FALSE(platform::windowSkipsTaskbar(kept.get())) << "a window that keeps its entry lost it";

  // Switched over while they are on the screen: the window manager changes their state.
  for (const bool listed : {true, false, true}) {
    SCOPED_TRACE(listed ? "listed" : "not listed");
    platform::setApplicationListedInTaskbar(listed);
    EXPECT_TRUE(qtRunUntil([&] { return platform::windowSkipsTaskbar(window.get()) == !listed; }, 5));
    EXPECT_TRUE(qtRunUntil([&] { return platform::windowSkipsTaskbar(tool.get()) == !listed; }, 5));
    EXPECT_FALSE(platform::windowSkipsTaskbar(kept.get()));
  }

  // Hidden and shown again, the window carries the choice of the moment it shows.
  platform::setApplicationListedInTaskbar(false);
  ASSERT_TRUE(qtRunUntil([&] { return platform::windowSkipsTaskbar(window.get()); }, 5));
  for (int round = 0; round < 2; ++round) {
    window->hide();
    qvtesting::qtRunFor(0.2);
    window->show();
    ASSERT_TRUE(qtRunUntil([&] { return window->isExposed(); }, 5));
    EXPECT_TRUE(platform::windowSkipsTaskbar(window.get())) << "round " << round;
  }
}

TEST_F(DesktopTaskbarXvfbTest, MenusAndWindowsOutsideTheWindowManagerAreLeftAlone) {
  platform::setApplicationListedInTaskbar(false);
  auto popup = shown(Qt::Popup);
  auto bypassing = shown(Qt::Window | Qt::BypassWindowManagerHint);
  EXPECT_FALSE(platform::windowSkipsTaskbar(popup.get()));
  EXPECT_FALSE(platform::windowSkipsTaskbar(bypassing.get()));
}

}  // namespace
