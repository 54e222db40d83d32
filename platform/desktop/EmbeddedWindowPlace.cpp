#include "platform/desktop/EmbeddedWindowPlace.h"

#include <QtGui/qguiapplication_platform.h>
#include <xcb/xcb.h>

#include <QtCore/QCoreApplication>
#include <QtCore/QThread>
#include <QtGui/QGuiApplication>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>

namespace platform {

namespace {

// A reply of the X server, freed with it.
template <typename T>
using Reply = std::unique_ptr<T, decltype(&std::free)>;

// A window that goes away while it is asked about answers with an error; the error is the caller's
// (freed here), not a warning of Qt's event loop.
template <typename T, typename Cookie, typename ReplyFunction>
Reply<T> ask(xcb_connection_t* connection, Cookie cookie, ReplyFunction replyFunction) {
  xcb_generic_error_t* error = nullptr;
  Reply<T> reply(replyFunction(connection, cookie, &error), &std::free);
  std::free(error);
  return reply;
}

xcb_connection_t* x11Connection() {
  if (!qGuiApp) return nullptr;
  auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
  return x11 ? x11->connection() : nullptr;
}

// Windows above this many parents are not followed (no desktop nests its trays that deep).
constexpr int kMostAncestors = 32;

// Whether the X window is one of this application's own (whose events Qt asks for itself).
bool isOwnWindow(xcb_window_t id) {
  const auto windows = QGuiApplication::allWindows();
  return std::any_of(windows.begin(), windows.end(), [id](QWindow* window) {
    return window->handle() && static_cast<xcb_window_t>(window->winId()) == id;
  });
}

void assertGuiThread() {
  Q_ASSERT_X(!qGuiApp || QThread::currentThread() == qGuiApp->thread(), "EmbeddedWindowPlace",
             "GUI thread only");
}

}  // namespace

EmbeddedWindowPlace::EmbeddedWindowPlace(QObject* parent) : QObject(parent), connection_(x11Connection()) {
  assertGuiThread();
  if (connection_) QCoreApplication::instance()->installNativeEventFilter(this);
}

EmbeddedWindowPlace::~EmbeddedWindowPlace() {
  if (connection_ && QCoreApplication::instance())
    QCoreApplication::instance()->removeNativeEventFilter(this);
}

void EmbeddedWindowPlace::setWindow(QWindow* window) {
  assertGuiThread();
  if (window_ == window) return;
  window_ = window;
  update();
}

bool EmbeddedWindowPlace::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
  if (!connection_ || !window_ || eventType != "xcb_generic_event_t" || !message) return false;
  const auto* event = static_cast<const xcb_generic_event_t*>(message);
  xcb_window_t concerned = XCB_WINDOW_NONE;
  switch (event->response_type & 0x7F) {
    case XCB_CONFIGURE_NOTIFY:
      concerned = static_cast<const xcb_configure_notify_event_t*>(message)->window;
      break;
    case XCB_REPARENT_NOTIFY:
      concerned = static_cast<const xcb_reparent_notify_event_t*>(message)->window;
      break;
    case XCB_MAP_NOTIFY:
      concerned = static_cast<const xcb_map_notify_event_t*>(message)->window;
      break;
    case XCB_UNMAP_NOTIFY:
      concerned = static_cast<const xcb_unmap_notify_event_t*>(message)->window;
      break;
    case XCB_DESTROY_NOTIFY:
      concerned = static_cast<const xcb_destroy_notify_event_t*>(message)->window;
      break;
    default:
      return false;
  }
  // The window's own id is read now: it has none until it is first shown.
  const bool own = window_->handle() && concerned == static_cast<xcb_window_t>(window_->winId());
  if (own || std::find(ancestors_.begin(), ancestors_.end(), concerned) != ancestors_.end()) scheduleUpdate();
  return false;  // Qt handles its own windows' events as ever
}

void EmbeddedWindowPlace::scheduleUpdate() {
  // Read on a later turn of the loop: the events of one rearrangement of the tray come together,
  // and what is told may move windows, which is no work for the middle of Qt's event handling.
  if (updatePending_) return;
  updatePending_ = true;
  QMetaObject::invokeMethod(
      this,
      [this] {
        updatePending_ = false;
        update();
      },
      Qt::QueuedConnection);
}

void EmbeddedWindowPlace::update() {
  const auto now = readGeometry();
  if (now == geometry_) return;
  geometry_ = now;
  Q_EMIT geometryChanged();
}

std::optional<QRect> EmbeddedWindowPlace::readGeometry() {
  if (!connection_ || !window_ || !window_->handle()) return std::nullopt;
  const auto id = static_cast<xcb_window_t>(window_->winId());
  // Viewable: mapped, and so is every window above it.
  const auto attributes = ask<xcb_get_window_attributes_reply_t>(
      connection_, xcb_get_window_attributes(connection_, id), xcb_get_window_attributes_reply);
  if (!attributes || attributes->map_state != XCB_MAP_STATE_VIEWABLE) return std::nullopt;

  // The windows between it and the root, each watched from now on (a window stays watched when the
  // window leaves it: its events then change nothing).
  xcb_window_t root = XCB_WINDOW_NONE;
  std::vector<xcb_window_t> ancestors;
  for (xcb_window_t at = id; int(ancestors.size()) < kMostAncestors;) {
    const auto tree =
        ask<xcb_query_tree_reply_t>(connection_, xcb_query_tree(connection_, at), xcb_query_tree_reply);
    if (!tree) return std::nullopt;
    root = tree->root;
    if (tree->parent == XCB_WINDOW_NONE || tree->parent == tree->root) break;
    ancestors.push_back(tree->parent);
    at = tree->parent;
  }
  for (const xcb_window_t ancestor : ancestors) {
    if (std::find(ancestors_.begin(), ancestors_.end(), ancestor) != ancestors_.end()) continue;
    // Another client's window: this client's own choice of its events, next to the owner's. Never
    // the application's own windows, whose events Qt chooses.
    if (isOwnWindow(ancestor)) continue;
    const std::uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    std::free(xcb_request_check(
        connection_, xcb_change_window_attributes_checked(connection_, ancestor, XCB_CW_EVENT_MASK, &mask)));
    ancestors_.push_back(ancestor);
  }
  // A window right under the root is a window of its own, placed where Qt knows.
  if (ancestors.empty()) return std::nullopt;

  const auto origin = ask<xcb_translate_coordinates_reply_t>(
      connection_, xcb_translate_coordinates(connection_, id, root, 0, 0), xcb_translate_coordinates_reply);
  const auto size =
      ask<xcb_get_geometry_reply_t>(connection_, xcb_get_geometry(connection_, id), xcb_get_geometry_reply);
  if (!origin || !size) return std::nullopt;
  // The server counts device pixels.
  const double ratio = window_->devicePixelRatio() > 0 ? window_->devicePixelRatio() : 1.0;
  return QRect(int(std::lround(origin->dst_x / ratio)), int(std::lround(origin->dst_y / ratio)),
               int(std::lround(size->width / ratio)), int(std::lround(size->height / ratio)));
}

}  // namespace platform
