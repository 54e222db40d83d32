#pragma once

#include <QtCore/QObject>
#include <QtCore/QPointer>
#include <memory>

#include "uikit/ZKInterfaceResources.h"
#include "uikit/ZKSwipeTracker.h"

class QWidget;

// The base of every window controller. Its window comes from the form named after its own class; its
// set-up goes in zk_viewDidLoad, which runs once after the form is loaded. It can show its window as a
// sheet on another window (window-modal, dropping from that window's top), with hooks around both
// ends, and tell two-finger swipes. The controller owns its window.
class ZKWindowController : public QObject {
  Q_OBJECT

 public:
  explicit ZKWindowController(QObject* parent = nullptr);
  ~ZKWindowController() override;

  // A new controller of class T with its window from the form named after T; without such a form the
  // controller has no window until setWindow.
  template <class T>
  static T* controller(QObject* parent = nullptr) {
    auto* instance = new T(parent);
    instance->loadWindowFromInterface();
    return instance;
  }

  QWidget* window() const { return window_; }
  // Takes a window made in code (owned from now on).
  void setWindow(QWidget* window);
  template <class Ui>
  Ui* ui() const {
    auto* form = dynamic_cast<ZKDesignerUi<Ui>*>(form_.get());
    return form ? &form->ui : nullptr;
  }

  QWidget* parentWindow() const { return parentWindow_; }
  void setParentWindow(QWidget* window) { parentWindow_ = window; }
  ZKWindowController* parentWindowController() const { return parentWindowController_; }
  void setParentWindowController(ZKWindowController* controller) { parentWindowController_ = controller; }
  bool zkViewIsLoaded() const { return viewIsLoaded_; }
  // Subclasses answer true to hear swipes.
  virtual bool wantsSwipeEvents() const { return false; }

  // Wakes the controller after its window is loaded: swipe tracking when wanted, zk_viewDidLoad once.
  virtual void awakeFromNib();

  // zk_sheetWillAppear now; on the next turn of the loop the window shows as a sheet on `window`, at
  // the size its form gives it (grown where its layout needs more), then zk_sheetDidAppear. The sheet
  // is centred on the window's inside and hangs from its top, moved as little as needed to be wholly
  // on the window's screen.
  void beginSheetInWindow(QWidget* window);
  // Ends the sheet (the window is put away) between zk_sheetWillDisappear and zk_sheetDidDisappear.
  void closeSheet();
  bool isSheetVisible() const;

  // Hooks, empty here.
  virtual void zk_viewDidLoad() {}
  virtual void zk_sheetWillAppear() {}
  virtual void zk_sheetDidAppear() {}
  virtual void zk_sheetWillDisappear() {}
  virtual void zk_sheetDidDisappear() {}
  virtual void didSwipeBack() {}
  virtual void didSwipeForward() {}

  // The swipe gesture's two ends, fed from the window's touch events (public for other sources).
  void beginGestureWithTouches(const std::vector<ZKSwipeTracker::Touch>& touches);
  void endGestureWithTouches(const std::vector<ZKSwipeTracker::Touch>& touches);
  bool isTrackingGesture() const { return tracker_.isTracking(); }

 protected:
  void loadWindowFromInterface();
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void didEndSheet();
  // Puts the sheet where it belongs over its host (ZKDesignGeometry::sheetFrame).
  void placeSheet();

  std::unique_ptr<ZKInterfaceForm> form_;
  QPointer<QWidget> window_;
  QPointer<QWidget> parentWindow_;
  QPointer<ZKWindowController> parentWindowController_;
  QPointer<QWidget> sheetHost_;
  bool placeWhenExposed_ = false;
  bool viewIsLoaded_ = false;
  ZKSwipeTracker tracker_;
};
