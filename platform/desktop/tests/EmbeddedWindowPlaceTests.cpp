// Where an embedded window is on the desktop: another client (standing for an XEmbed tray) takes one
// of the application's windows into a window of its own and moves its windows about; the place is
// the window's rectangle on the root window throughout, and each change of it is told. A window of
// its own on the root, or one not shown, has no place.
#include <QtGui/qguiapplication_platform.h>
#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <QtGui/QGuiApplication>
#include <QtGui/QWindow>
#include <cstdlib>
#include <functional>
#include <optional>
#include <sstream>
#include <string>

#include "platform/desktop/EmbeddedWindowPlace.h"
#include "platform/desktop/testing/GuiTest.h"

namespace {

using qvtesting::qtRunFor;
using qvtesting::qtRunUntil;

// The other client: a panel (a top-level window the window manager leaves alone) holding a socket
// window, into which it takes the application's window as a tray takes an icon.
class FakeTray {
 public:
  FakeTray() : connection_(xcb_connect(nullptr, nullptr)) {}
  ~FakeTray() {
    if (connection_) xcb_disconnect(connection_);
  }
  FakeTray(const FakeTray&) = delete;
  FakeTray& operator=(const FakeTray&) = delete;

  bool open(QRect panel, QRect socket) {
    if (!connection_ || xcb_connection_has_error(connection_)) return false;
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
    panel_ = make(screen->root, panel, true);
    socket_ = make(panel_, socket, false);
    xcb_map_window(connection_, socket_);
    xcb_map_window(connection_, panel_);
    return sync();
  }
  // Takes the window in at the socket's origin and shows it there, as an XEmbed tray does.
  bool embed(QWindow& window) {
    const auto id = static_cast<xcb_window_t>(window.winId());
    xcb_reparent_window(connection_, id, socket_, 0, 0);
    xcb_map_window(connection_, id);
    return sync();
  }
  bool movePanel(QPoint to) { return move(panel_, to); }
  bool moveSocket(QPoint to) { return move(socket_, to); }
  bool hidePanel() {
    xcb_unmap_window(connection_, panel_);
    return sync();
  }

 private:
  xcb_window_t make(xcb_window_t parent, QRect frame, bool overrideRedirect) {
    const xcb_window_t id = xcb_generate_id(connection_);
    const std::uint32_t values[] = {overrideRedirect ? 1u : 0u};
    xcb_create_window(connection_, XCB_COPY_FROM_PARENT, id, parent, std::int16_t(frame.x()),
                      std::int16_t(frame.y()), std::uint16_t(frame.width()), std::uint16_t(frame.height()), 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, XCB_CW_OVERRIDE_REDIRECT, values);
    return id;
  }
  bool move(xcb_window_t window, QPoint to) {
    const std::uint32_t values[] = {std::uint32_t(to.x()), std::uint32_t(to.y())};
    xcb_configure_window(connection_, window, XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y, values);
    return sync();
  }
  // A round trip: every request so far has reached the server.
  bool sync() {
    std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
    return !xcb_connection_has_error(connection_);
  }

  xcb_connection_t* connection_;
  xcb_window_t panel_ = 0;
  xcb_window_t socket_ = 0;
};

std::string text(const std::optional<QRect>& rect) {
  if (!rect) return "none";
  std::ostringstream out;
  out << rect->x() << "," << rect->y() << " " << rect->width() << "x" << rect->height();
  return out.str();
}

TEST(EmbeddedWindowPlaceXvfb, FollowsTheWindowThroughTheOtherClientsMoves) {
  if (QGuiApplication::platformName() != QStringLiteral("xcb")) GTEST_SKIP() << "needs an X server";
  QWindow icon;
  icon.setFlags(Qt::Window | Qt::FramelessWindowHint | Qt::BypassWindowManagerHint);
  icon.setGeometry(0, 0, 22, 22);
  platform::EmbeddedWindowPlace place;
  int told = 0;
  QObject::connect(&place, &platform::EmbeddedWindowPlace::geometryChanged, [&] { ++told; });
  place.setWindow(&icon);
  EXPECT_EQ(place.geometry(), std::nullopt) << "not shown yet";

  // Shown on its own, right under the root: Qt knows its place, there is none to follow.
  icon.show();
  ASSERT_TRUE(qtRunUntil([&] { return icon.isExposed(); }, 5));
  qtRunFor(0.2);
  EXPECT_EQ(place.geometry(), std::nullopt) << "a window of its own";

  FakeTray tray;
  ASSERT_TRUE(tray.open(QRect(700, 0, 300, 24), QRect(40, 1, 22, 22)));
  ASSERT_TRUE(tray.embed(icon));
  struct Step {
    const char* name;
    std::function<bool()> act;
    std::optional<QRect> expected;
  };
  const Step steps[] = {
      {"taken in", [] { return true; }, QRect(740, 1, 22, 22)},
      {"the tray moves the socket", [&] { return tray.moveSocket(QPoint(120, 1)); }, QRect(820, 1, 22, 22)},
      {"the panel moves", [&] { return tray.movePanel(QPoint(200, 300)); }, QRect(320, 301, 22, 22)},
      {"the panel hides", [&] { return tray.hidePanel(); }, std::nullopt},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.name);
    const int before = told;
    ASSERT_TRUE(step.act());
    EXPECT_TRUE(qtRunUntil([&] { return place.geometry() == step.expected; }, 5))
        << "expected " << text(step.expected) << ", found " << text(place.geometry());
    EXPECT_GT(told, before) << "the change was not told";
  }
  // Nothing is told while nothing moves.
  const int settled = told;
  qtRunFor(0.3);
  EXPECT_EQ(told, settled);
}

}  // namespace
