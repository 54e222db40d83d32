#include "platform/desktop/DesktopTaskbar.h"

#include <QtGui/qguiapplication_platform.h>
#include <xcb/xcb.h>

#include <QtCore/QCoreApplication>
#include <QtCore/QEvent>
#include <QtCore/QPointer>
#include <QtCore/QThread>
#include <QtCore/QVariant>
#include <QtGui/QGuiApplication>
#include <QtGui/QWindow>
#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <vector>

namespace platform {

namespace {

constexpr const char* kAlwaysListedProperty = "qvAlwaysListedInTaskbar";

// EWMH's actions of a _NET_WM_STATE client message.
constexpr std::uint32_t kStateRemove = 0;
constexpr std::uint32_t kStateAdd = 1;
// The message comes from an ordinary application.
constexpr std::uint32_t kSourceApplication = 1;

template <typename T>
using Reply = std::unique_ptr<T, decltype(&std::free)>;

struct Atoms {
  xcb_atom_t state = XCB_ATOM_NONE;
  xcb_atom_t skipTaskbar = XCB_ATOM_NONE;
  xcb_atom_t skipPager = XCB_ATOM_NONE;
};

xcb_connection_t* x11Connection() {
  if (!qGuiApp) return nullptr;
  auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
  return x11 ? x11->connection() : nullptr;
}

xcb_atom_t internAtom(xcb_connection_t* connection, std::string_view name) {
  Reply<xcb_intern_atom_reply_t> reply(
      xcb_intern_atom_reply(
          connection, xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(name.size()), name.data()),
          nullptr),
      &std::free);
  return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
}

// The atoms of Qt's one connection, interned on first use.
const Atoms* atomsFor(xcb_connection_t* connection) {
  static xcb_connection_t* internedOn = nullptr;
  static Atoms atoms;
  if (!connection) return nullptr;
  if (internedOn != connection) {
    atoms.state = internAtom(connection, "_NET_WM_STATE");
    atoms.skipTaskbar = internAtom(connection, "_NET_WM_STATE_SKIP_TASKBAR");
    atoms.skipPager = internAtom(connection, "_NET_WM_STATE_SKIP_PAGER");
    internedOn = connection;
  }
  if (atoms.state == XCB_ATOM_NONE || atoms.skipTaskbar == XCB_ATOM_NONE || atoms.skipPager == XCB_ATOM_NONE)
    return nullptr;
  return &atoms;
}

std::vector<xcb_atom_t> stateOf(xcb_connection_t* connection, xcb_window_t window, const Atoms& atoms) {
  Reply<xcb_get_property_reply_t> reply(
      xcb_get_property_reply(
          connection, xcb_get_property(connection, 0, window, atoms.state, XCB_ATOM_ATOM, 0, 1024), nullptr),
      &std::free);
  if (!reply || reply->format != 32 || reply->type != XCB_ATOM_ATOM) return {};
  const auto* values = static_cast<const xcb_atom_t*>(xcb_get_property_value(reply.get()));
  const int count = xcb_get_property_value_length(reply.get()) / int(sizeof(xcb_atom_t));
  return std::vector<xcb_atom_t>(values, values + std::max(count, 0));
}

// Windows that a window manager manages and a task bar could list: menus, tool tips, splash
// screens and windows that bypass the window manager have no entry to lose.
bool isListable(const QWindow* window) {
  if (!window || window->parent() || !window->handle()) return false;
  if (window->flags() & (Qt::BypassWindowManagerHint | Qt::X11BypassWindowManagerHint)) return false;
  switch (window->type()) {
    case Qt::Window:
    case Qt::Dialog:
    case Qt::Sheet:
    case Qt::Drawer:
    case Qt::Tool:
      return true;
    default:
      return false;
  }
}

struct TaskbarState {
  bool listed = true;
  QPointer<QObject> filter;
};

TaskbarState& taskbarState() {
  static TaskbarState state;
  return state;
}

bool skipsTaskbar(const QWindow* window) {
  return !taskbarState().listed && !window->property(kAlwaysListedProperty).toBool();
}

// A window about to be mapped: its state property is written directly, keeping what else it holds
// (Qt adds its own states to the property on mapping and keeps the rest).
void writeStateBeforeMapping(QWindow* window, bool skip) {
  xcb_connection_t* connection = x11Connection();
  const Atoms* atoms = atomsFor(connection);
  if (!atoms) return;
  const auto id = static_cast<xcb_window_t>(window->winId());
  std::vector<xcb_atom_t> state = stateOf(connection, id, *atoms);
  std::erase_if(state,
                [&](xcb_atom_t atom) { return atom == atoms->skipTaskbar || atom == atoms->skipPager; });
  if (skip) {
    state.push_back(atoms->skipTaskbar);
    state.push_back(atoms->skipPager);
  }
  if (state.empty()) {
    xcb_delete_property(connection, id, atoms->state);
  } else {
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, id, atoms->state, XCB_ATOM_ATOM, 32,
                        static_cast<std::uint32_t>(state.size()), state.data());
  }
  xcb_flush(connection);
}

// A window on the screen belongs to the window manager, which changes its state when asked with a
// client message to the root window.
void askWindowManager(QWindow* window, bool skip) {
  xcb_connection_t* connection = x11Connection();
  const Atoms* atoms = atomsFor(connection);
  if (!atoms) return;
  const auto id = static_cast<xcb_window_t>(window->winId());
  Reply<xcb_get_geometry_reply_t> geometry(
      xcb_get_geometry_reply(connection, xcb_get_geometry(connection, id), nullptr), &std::free);
  if (!geometry) return;
  xcb_client_message_event_t message{};
  message.response_type = XCB_CLIENT_MESSAGE;
  message.format = 32;
  message.window = id;
  message.type = atoms->state;
  message.data.data32[0] = skip ? kStateAdd : kStateRemove;
  message.data.data32[1] = atoms->skipTaskbar;
  message.data.data32[2] = atoms->skipPager;
  message.data.data32[3] = kSourceApplication;
  xcb_send_event(connection, 0, geometry->root,
                 XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                 reinterpret_cast<const char*>(&message));
  xcb_flush(connection);
}

// Sets the state of each window as it is shown. A window's show event comes before Qt maps it.
class TaskbarFilter : public QObject {
 public:
  using QObject::QObject;

  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Show && watched->isWindowType()) {
      auto* window = static_cast<QWindow*>(watched);
      if (isListable(window)) writeStateBeforeMapping(window, skipsTaskbar(window));
    }
    return false;
  }
};

void assertGuiThread() {
  Q_ASSERT_X(!qGuiApp || QThread::currentThread() == qGuiApp->thread(), "DesktopTaskbar", "GUI thread only");
}

}  // namespace

void setApplicationListedInTaskbar(bool listed) {
  assertGuiThread();
  auto& state = taskbarState();
  if (!state.filter && qGuiApp) {
    state.filter = new TaskbarFilter(qGuiApp);
    qGuiApp->installEventFilter(state.filter);
  }
  if (state.listed == listed) return;
  state.listed = listed;
  if (!x11Connection()) return;
  for (QWindow* window : QGuiApplication::topLevelWindows()) {
    if (!isListable(window) || !window->isVisible()) continue;
    const bool skip = skipsTaskbar(window);
    // Before the window manager has taken a window that is being mapped, only the property counts;
    // once it has, only the message does.
    writeStateBeforeMapping(window, skip);
    askWindowManager(window, skip);
  }
}

bool applicationListedInTaskbar() { return taskbarState().listed; }

void setWindowAlwaysListedInTaskbar(QWindow* window, bool always) {
  assertGuiThread();
  if (window) window->setProperty(kAlwaysListedProperty, always);
}

bool windowSkipsTaskbar(QWindow* window) {
  xcb_connection_t* connection = x11Connection();
  const Atoms* atoms = atomsFor(connection);
  if (!atoms || !window || !window->handle()) return false;
  const auto state = stateOf(connection, static_cast<xcb_window_t>(window->winId()), *atoms);
  return std::find(state.begin(), state.end(), atoms->skipTaskbar) != state.end();
}

}  // namespace platform
