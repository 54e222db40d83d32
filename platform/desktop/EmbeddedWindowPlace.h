#pragma once

#include <QtCore/QAbstractNativeEventFilter>
#include <QtCore/QObject>
#include <QtCore/QPointer>
#include <QtCore/QRect>
#include <QtGui/QWindow>
#include <cstdint>
#include <optional>
#include <vector>

struct xcb_connection_t;

namespace platform {

// Where one of the application's windows is on the desktop while another client holds it inside a
// window of its own: the application's icon in an XEmbed system tray. Qt keeps such a window's
// position relative to the window it was reparented into, so the place is asked of the X server (the
// window's origin translated to the root window). The tray moves its icons by moving its own windows,
// which the embedded window is not told of; so every window between the embedded one and the root is
// watched (its structure events, seen by a native event filter on Qt's connection) and a change of
// the place is told. Only X11 embeds windows this way; elsewhere there is no place. GUI thread only.
class EmbeddedWindowPlace : public QObject, public QAbstractNativeEventFilter {
  Q_OBJECT

 public:
  explicit EmbeddedWindowPlace(QObject* parent = nullptr);
  ~EmbeddedWindowPlace() override;

  // The window to follow (not owned; null follows none). Its place is read at once.
  void setWindow(QWindow* window);
  QWindow* window() const { return window_; }

  // The window's rectangle on the desktop, in the desktop's device-independent coordinates, while it
  // is shown inside another client's window; nullopt otherwise (not embedded, not shown, not X11).
  std::optional<QRect> geometry() const { return geometry_; }

  bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

 Q_SIGNALS:
  // geometry() changed; told on a later turn of the event loop, once for the changes of one turn.
  void geometryChanged();

 private:
  // Reads the place again (and watches new windows above it) on the next turn of the loop.
  void scheduleUpdate();
  void update();
  std::optional<QRect> readGeometry();

  xcb_connection_t* connection_ = nullptr;
  QPointer<QWindow> window_;
  std::uint32_t windowId_ = 0;
  std::vector<std::uint32_t> ancestors_;  // the windows between the window and the root, watched
  std::optional<QRect> geometry_;
  bool updatePending_ = false;
};

}  // namespace platform
