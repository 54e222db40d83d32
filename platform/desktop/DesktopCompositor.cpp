#include "platform/desktop/DesktopCompositor.h"

#include <QtGui/qguiapplication_platform.h>
#include <xcb/xcb.h>

#include <QtGui/QGuiApplication>
#include <cstdlib>
#include <memory>
#include <string>

namespace platform {

namespace {

bool x11SelectionHasOwner(xcb_connection_t* connection, const std::string& name) {
  std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> atom(
      xcb_intern_atom_reply(
          connection, xcb_intern_atom(connection, 1, static_cast<std::uint16_t>(name.size()), name.c_str()),
          nullptr),
      &std::free);
  if (!atom || atom->atom == XCB_ATOM_NONE) return false;
  std::unique_ptr<xcb_get_selection_owner_reply_t, decltype(&std::free)> owner(
      xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, atom->atom), nullptr),
      &std::free);
  return owner && owner->owner != XCB_WINDOW_NONE;
}

}  // namespace

bool desktopHasCompositor() {
  if (!qGuiApp) return false;
  const QString platform = QGuiApplication::platformName();
  if (platform.startsWith(QLatin1String("wayland"))) return true;
  auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
  xcb_connection_t* connection = x11 ? x11->connection() : nullptr;
  if (!connection) return false;
  int screen = 0;
  if (const char* display = std::getenv("DISPLAY")) {
    // ":0.1" names screen 1; the default screen otherwise.
    std::string text(display);
    const auto dot = text.rfind('.');
    const auto colon = text.rfind(':');
    if (dot != std::string::npos && colon != std::string::npos && dot > colon)
      screen = std::atoi(text.c_str() + dot + 1);
  }
  return x11SelectionHasOwner(connection, "_NET_WM_CM_S" + std::to_string(screen));
}

}  // namespace platform
