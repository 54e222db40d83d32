// Whether a compositor draws the desktop: none on the offscreen platform, none on the bare test X
// server, and one as soon as some client claims the compositing manager's selection; the watcher
// tells when one comes and when it goes.
#include <QtGui/qguiapplication_platform.h>
#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <QtGui/QGuiApplication>
#include <cstdlib>
#include <memory>
#include <vector>

#include "platform/desktop/DesktopCompositor.h"
#include "platform/desktop/testing/GuiTest.h"

namespace {

// Another client that plays the compositor: it owns "_NET_WM_CM_S0" while it lives.
class FakeCompositor {
 public:
  FakeCompositor() : connection_(xcb_connect(nullptr, nullptr)) {}
  ~FakeCompositor() { leave(); }
  FakeCompositor(const FakeCompositor&) = delete;
  FakeCompositor& operator=(const FakeCompositor&) = delete;

  bool claim() {
    if (!connection_ || xcb_connection_has_error(connection_)) return false;
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
    const xcb_window_t owner = xcb_generate_id(connection_);
    xcb_create_window(connection_, XCB_COPY_FROM_PARENT, owner, screen->root, 0, 0, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0, nullptr);
    std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> atom(
        xcb_intern_atom_reply(connection_, xcb_intern_atom(connection_, 0, 13, "_NET_WM_CM_S0"), nullptr),
        &std::free);
    if (!atom) return false;
    xcb_set_selection_owner(connection_, owner, atom->atom, XCB_CURRENT_TIME);
    // A round trip: the claim has reached the server.
    std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
    return true;
  }
  // The selection goes with its owner.
  void leave() {
    if (connection_) xcb_disconnect(connection_);
    connection_ = nullptr;
  }

 private:
  xcb_connection_t* connection_;
};

TEST(DesktopCompositor, TheOffscreenDesktopHasNone) {
  if (QGuiApplication::platformName() != QStringLiteral("offscreen")) GTEST_SKIP() << "runs offscreen";
  EXPECT_FALSE(platform::desktopHasCompositor());
}

TEST(DesktopCompositorXvfb, AClientOwningTheCompositingSelectionIsACompositor) {
  if (QGuiApplication::platformName() != QStringLiteral("xcb")) GTEST_SKIP() << "needs an X server";
  EXPECT_FALSE(platform::desktopHasCompositor()) << "the test desktop runs no compositor";

  FakeCompositor compositor;
  ASSERT_TRUE(compositor.claim());
  EXPECT_TRUE(platform::desktopHasCompositor());
  compositor.leave();
  EXPECT_TRUE(qvtesting::qtRunUntil([] { return !platform::desktopHasCompositor(); }, 5));
}

TEST(DesktopCompositorXvfb, TheWatcherTellsACompositorComingAndGoing) {
  if (QGuiApplication::platformName() != QStringLiteral("xcb")) GTEST_SKIP() << "needs an X server";
  platform::DesktopCompositorWatcher watcher;
  EXPECT_FALSE(watcher.hasCompositor());
  std::vector<bool> told;
  QObject::connect(&watcher, &platform::DesktopCompositorWatcher::compositorChanged,
                   [&](bool hasCompositor) { told.push_back(hasCompositor); });

  auto compositor = std::make_unique<FakeCompositor>();
  ASSERT_TRUE(compositor->claim());
  ASSERT_TRUE(qvtesting::qtRunUntil([&] { return !told.empty(); }, 5)) << "the new compositor was not told";
  EXPECT_EQ(told, std::vector<bool>{true});
  EXPECT_TRUE(watcher.hasCompositor());

  compositor.reset();
  ASSERT_TRUE(qvtesting::qtRunUntil([&] { return told.size() == 2; }, 5)) << "its end was not told";
  EXPECT_EQ(told, (std::vector<bool>{true, false}));
  EXPECT_FALSE(watcher.hasCompositor());
  // Nothing more is told while nothing changes.
  qvtesting::qtRunFor(0.3);
  EXPECT_EQ(told.size(), 2u);
}

}  // namespace
