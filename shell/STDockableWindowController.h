#pragma once

#include <QtCore/QPointer>
#include <QtCore/QRect>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/NotificationCenter.h"
#include "platform/SettingsStore.h"
#include "shell/MTStatusItem.h"
#include "shell/STDockingGeometry.h"
#include "uikit/ZKWindowController.h"

class QPropertyAnimation;
class QShortcut;

// Posted on the default centre by whoever opens a modal alert over the dockable window, before and
// after it: the window does not hide itself while the alert has the focus.
inline constexpr const char* STDisableWindowClosingNotification = "Notification.disableWindowClosing";
inline constexpr const char* STEnableWindowClosingNotification = "Notification.enableWindowClosing";

// The base of the application's main window: a frameless tool window that either hangs docked at the
// status item (centred on it, kept on the item's screen, not movable) or floats where the user put
// it (moved by its background, its frame remembered). It fades in and out where a compositor runs and
// shows at once where none does, toggles on clicks of the status item and on the global hot key,
// hides itself when it loses the focus (unless an alert, an update window, the rating prompt, the
// preferences window or the keep-visible setting says otherwise), and tells the run queues: every way
// the window goes away ends in actuallyHideWindow, so "DockableWindowDidHide" is posted once for each
// "DockableWindowWillShow". Where the desktop has no tray, the window floats as a normal window that
// the desktop's window list shows, and hiding it minimises it there.
class STDockableWindowController : public ZKWindowController, public MTStatusItemDelegate {
  Q_OBJECT

 public:
  explicit STDockableWindowController(QObject* parent = nullptr);
  ~STDockableWindowController() override;

  MTStatusItem* statusItem() const { return statusItem_; }
  // Takes the item (owned from now on, an earlier one is released) and becomes its delegate.
  virtual void setStatusItem(MTStatusItem* item);
  // The preferences window while it exists (not owned).
  QWidget* preferencesWindow() const { return preferencesWindow_; }
  void setPreferencesWindow(QWidget* window) { preferencesWindow_ = window; }

  bool docked() const { return docked_; }
  bool canHide() const { return canHide_; }
  // Whether the window counts as shown (between "DockableWindowWillShow" and "DockableWindowDidHide").
  bool isShown() const { return shown_; }
  // Whether the window hangs at a tray item: false where the desktop has no tray.
  bool hasStatusItemHome() const;

  void zk_viewDidLoad() override;

  void toggleDocked();
  void dockWindowAnimated(bool animated);
  void undockWindowAnimated(bool animated);
  QRect dockedWindowFrame() const;
  // Where the arrow at the top of the docked window points at the status item, counted from the
  // window's left edge (see STDockingGeometry::arrowPosition); nullopt keeps it in the middle.
  std::optional<double> dockedArrowPosition() const { return dockedArrowPosition_; }
  std::optional<std::string> undockedFrameString() const;
  void repositionDockedWindow();

  virtual void actuallyShowWindow(bool animated);
  // The one way the window goes away: the close request, Escape, losing the focus, the status item,
  // the hot key and menus all come here.
  void actuallyHideWindow(bool animated);
  void windowWillShow();
  void windowDidHide();

  // MTStatusItemDelegate.
  void menuIconWasClicked() override;
  bool menuShouldShow() override;

  void enableAutoHide();
  void disableAutoHide();
  void setWindowLevel();

  // What the window tells its controller.
  void windowDidMove();
  void windowDidBecomeKey();
  void windowDidResignKey();
  void windowDidDeminiaturize();
  // The status item's menu closed and took the highlight with it: a window that is still key keeps
  // the item lit (the same menu opens from the window's settings button).
  void statusItemMenuDidClose();

  // The desktop's screens as the docking rules see them.
  static std::vector<STScreenArea> screenAreas();
  // Seconds a fade lasts: 0.2 when animated and fades can be seen, else 0 (at once).
  double fadeDuration(bool animated) const;

 Q_SIGNALS:
  // dockedArrowPosition() changed: the window's outline takes the arrow's new place.
  void dockedArrowPositionDidChange();

 protected:
  // Whether the desktop shows window opacity (a compositor runs).
  virtual bool fadesAreVisible() const;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // Brings the window's opacity to `alpha`, then runs `done` (at once when the fade takes no time).
  // A new fade replaces one under way, whose `done` is dropped.
  void fade(double alpha, bool animated, std::function<void()> done);
  void orderFront(bool makeKey);
  void activateApplication();
  bool preferencesWindowIsVisible() const;
  bool windowIsVisible() const;
  void applyWindowKind();
  void saveUndockedFrame();
  // Puts the window at the docked frame and its arrow at the status item.
  void placeDockedWindow();
  void finishHide();

  QPointer<MTStatusItem> statusItem_;
  QPointer<QWidget> preferencesWindow_;
  bool docked_ = false;
  bool canHide_ = false;
  bool shown_ = false;
  bool hiding_ = false;        // our own hide is under way: the window's hide events are ours
  bool placing_ = false;       // our own frame change: not a move by the user
  bool floatingKind_ = false;  // the window is a normal window (no tray), not a tool window
  std::optional<double> dockedArrowPosition_;
  QPointer<QPropertyAnimation> animation_;
  unsigned fadeGeneration_ = 0;
  QShortcut* escapeShortcut_ = nullptr;
  std::vector<platform::ObserverToken> observers_;
  platform::ObserverToken lengthObserver_;
  QMetaObject::Connection menuCloseConnection_;
  QMetaObject::Connection itemMoveConnection_;
  platform::SettingsStore::Observation keepAboveObservation_;
};
