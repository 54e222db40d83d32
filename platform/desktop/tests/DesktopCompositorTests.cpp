// Whether a compositor draws the desktop: none on the offscreen platform, none on the bare test X
// server, and one as soon as some client claims the compositing manager's selection.
#include <QtGui/qguiapplication_platform.h>
#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <QtGui/QGuiApplication>
#include <cstdlib>
#include <memory>

#include "platform/desktop/DesktopCompositor.h"
#include "platform/desktop/testing/GuiTest.h"

namespace {

TEST(DesktopCompositor, TheOffscreenDesktopHasNone) {
  if (QGuiApplication::platformName() != QStringLiteral("offscreen")) GTEST_SKIP() << "runs offscreen";
  EXPECT_FALSE(platform::desktopHasCompositor());
}

TEST(DesktopCompositorXvfb, AClientOwningTheCompositingSelectionIsACompositor) {
  if (QGuiApplication::platformName() != QStringLiteral("xcb")) GTEST_SKIP() << "needs an X server";
  EXPECT_FALSE(platform::desktopHasCompositor()) << "the test desktop runs no compositor";

  // A client of its own plays the compositor: it owns "_NET_WM_CM_S0" while it lives.
  xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
  ASSERT_FALSE(xcb_connection_has_error(connection));
  const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
  const xcb_window_t owner = xcb_generate_id(connection);
  xcb_create_window(connection, XCB_COPY_FROM_PARENT, owner, screen->root, 0, 0, 1, 1, 0,
                    XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0, nullptr);
  std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> atom(
      xcb_intern_atom_reply(connection, xcb_intern_atom(connection, 0, 13, "_NET_WM_CM_S0"), nullptr),
      &std::free);
  ASSERT_TRUE(atom);
  xcb_set_selection_owner(connection, owner, atom->atom, XCB_CURRENT_TIME);
  xcb_flush(connection);
  std::free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));  // round trip

  EXPECT_TRUE(platform::desktopHasCompositor());
  xcb_disconnect(connection);  // the selection goes with its owner
  EXPECT_TRUE(qvtesting::qtRunUntil([] { return !platform::desktopHasCompositor(); }, 5));
}

}  // namespace
