#pragma once

#include <QtCore/QAbstractNativeEventFilter>
#include <QtCore/QObject>
#include <cstdint>

struct xcb_connection_t;

namespace platform {

// Whether a compositing manager draws the desktop, so that window opacity shows (and fades can be
// seen). On X11: some client owns the "_NET_WM_CM_S<screen>" selection of the default screen. A
// Wayland desktop always composites; other platforms (offscreen) do not.
bool desktopHasCompositor();

// Tells when a compositing manager starts or stops drawing the desktop: on X11 the server reports
// every change of the "_NET_WM_CM_S<screen>" selection's owner (XFixes), seen by a native event
// filter on the connection Qt's xcb platform uses. Elsewhere the answer never changes and nothing is
// told. GUI thread only.
class DesktopCompositorWatcher : public QObject, public QAbstractNativeEventFilter {
  Q_OBJECT

 public:
  explicit DesktopCompositorWatcher(QObject* parent = nullptr);
  ~DesktopCompositorWatcher() override;

  // The state last told (desktopHasCompositor at construction).
  bool hasCompositor() const { return hasCompositor_; }

  bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

 Q_SIGNALS:
  // A compositor started (true) or went away (false); told on a later turn of the event loop.
  void compositorChanged(bool hasCompositor);

 private:
  void recheck();

  xcb_connection_t* connection_ = nullptr;
  std::uint32_t window_ = 0;              // the window the selection's changes are reported to
  std::uint32_t selection_ = 0;           // the compositing manager's selection atom
  std::uint8_t selectionNotifyType_ = 0;  // the XFixes event type that reports its owner changes
  bool hasCompositor_ = false;
  bool recheckPending_ = false;
};

}  // namespace platform
