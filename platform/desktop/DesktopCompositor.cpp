#include "platform/desktop/DesktopCompositor.h"

#include <QtGui/qguiapplication_platform.h>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <QtCore/QThread>
#include <QtGui/QGuiApplication>
#include <cassert>
#include <cstdlib>
#include <memory>
#include <string>

namespace platform {

namespace {

template <typename T>
using Reply = std::unique_ptr<T, decltype(&std::free)>;

xcb_connection_t* x11Connection() {
  if (!qGuiApp) return nullptr;
  auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
  return x11 ? x11->connection() : nullptr;
}

// The screen $DISPLAY names (":0.1" names screen 1), the default screen 0 otherwise.
int displayScreen() {
  int screen = 0;
  if (const char* display = std::getenv("DISPLAY")) {
    std::string text(display);
    const auto dot = text.rfind('.');
    const auto colon = text.rfind(':');
    if (dot != std::string::npos && colon != std::string::npos && dot > colon)
      screen = std::atoi(text.c_str() + dot + 1);
  }
  return screen;
}

// The compositing manager's selection of that screen; XCB_ATOM_NONE when it cannot be had.
xcb_atom_t compositingSelection(xcb_connection_t* connection, bool onlyIfExists) {
  const std::string name = "_NET_WM_CM_S" + std::to_string(displayScreen());
  Reply<xcb_intern_atom_reply_t> atom(
      xcb_intern_atom_reply(connection,
                            xcb_intern_atom(connection, onlyIfExists ? 1 : 0,
                                            static_cast<std::uint16_t>(name.size()), name.c_str()),
                            nullptr),
      &std::free);
  return atom ? atom->atom : xcb_atom_t(XCB_ATOM_NONE);
}

bool selectionHasOwner(xcb_connection_t* connection, xcb_atom_t selection) {
  if (selection == XCB_ATOM_NONE) return false;
  Reply<xcb_get_selection_owner_reply_t> owner(
      xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, selection), nullptr),
      &std::free);
  return owner && owner->owner != XCB_WINDOW_NONE;
}

}  // namespace

bool desktopHasCompositor() {
  if (!qGuiApp) return false;
  const QString platform = QGuiApplication::platformName();
  if (platform.startsWith(QLatin1String("wayland"))) return true;
  xcb_connection_t* connection = x11Connection();
  if (!connection) return false;
  return selectionHasOwner(connection, compositingSelection(connection, true));
}

DesktopCompositorWatcher::DesktopCompositorWatcher(QObject* parent)
    : QObject(parent), hasCompositor_(desktopHasCompositor()) {
  assert(!qGuiApp || QThread::currentThread() == qGuiApp->thread());
  xcb_connection_t* connection = x11Connection();
  if (!connection) return;
  const xcb_query_extension_reply_t* xfixes = xcb_get_extension_data(connection, &xcb_xfixes_id);
  if (!xfixes || !xfixes->present) return;
  // A client states the XFixes version it speaks before its first request of the extension.
  std::free(xcb_xfixes_query_version_reply(
      connection, xcb_xfixes_query_version(connection, XCB_XFIXES_MAJOR_VERSION, XCB_XFIXES_MINOR_VERSION),
      nullptr));
  const xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
  if (!screens.rem) return;
  // The atom is made if need be: no compositor may have named it yet.
  const xcb_atom_t selection = compositingSelection(connection, false);
  if (selection == XCB_ATOM_NONE) return;
  connection_ = connection;
  selection_ = selection;
  selectionNotifyType_ = static_cast<std::uint8_t>(xfixes->first_event + XCB_XFIXES_SELECTION_NOTIFY);
  // The changes are asked for on a window of this watcher's own (never mapped): another watcher, or
  // Qt's platform asking on its own window, keeps its request when this one ends with its window.
  window_ = xcb_generate_id(connection);
  xcb_create_window(connection, XCB_COPY_FROM_PARENT, window_, screens.data->root, -1, -1, 1, 1, 0,
                    XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0, nullptr);
  xcb_xfixes_select_selection_input(connection, window_, selection,
                                    XCB_XFIXES_SELECTION_EVENT_MASK_SET_SELECTION_OWNER |
                                        XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_WINDOW_DESTROY |
                                        XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_CLIENT_CLOSE);
  xcb_flush(connection);
  QCoreApplication::instance()->installNativeEventFilter(this);
  // A compositor that came between the first look and the selection request is found here.
  recheck();
}

DesktopCompositorWatcher::~DesktopCompositorWatcher() {
  // Without the application its connection is gone, and the window with it.
  if (!connection_ || !QCoreApplication::instance()) return;
  QCoreApplication::instance()->removeNativeEventFilter(this);
  xcb_destroy_window(connection_, window_);
  xcb_flush(connection_);
}

bool DesktopCompositorWatcher::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
  if (!connection_ || eventType != "xcb_generic_event_t" || !message) return false;
  const auto* event = static_cast<const xcb_generic_event_t*>(message);
  if ((event->response_type & 0x7F) != selectionNotifyType_) return false;
  const auto* notify = static_cast<const xcb_xfixes_selection_notify_event_t*>(message);
  if (notify->window != window_ || notify->selection != selection_) return false;
  recheck();
  return false;  // Qt's platform keeps its own account of the compositor
}

void DesktopCompositorWatcher::recheck() {
  // Answered on a later turn of the loop: what is told may change windows, which is no work for the
  // middle of Qt's event handling. Several changes in one turn are told once, as the state they left.
  if (recheckPending_) return;
  recheckPending_ = true;
  QMetaObject::invokeMethod(
      this,
      [this] {
        recheckPending_ = false;
        const bool now = selectionHasOwner(connection_, selection_);
        if (now == hasCompositor_) return;
        hasCompositor_ = now;
        Q_EMIT compositorChanged(now);
      },
      Qt::QueuedConnection);
}

}  // namespace platform
