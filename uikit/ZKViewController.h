#pragma once

#include <QtCore/QObject>
#include <QtCore/QPointer>
#include <QtCore/QSizeF>
#include <QtCore/QString>
#include <QtWidgets/QWidget>
#include <memory>

#include "uikit/ZKInterfaceResources.h"

class ZKNavigationController;
class ZKWindowController;

// The base of every view controller and pane. Its view comes from the form named after its class, or
// after the nearest base class that has one; set-up that Designer cannot express goes in
// zk_viewDidLoad, which runs once after the form is loaded. The controller owns its view.
class ZKViewController : public QObject {
  Q_OBJECT

 public:
  explicit ZKViewController(QObject* parent = nullptr);
  ~ZKViewController() override;

  // A new controller of class T, loaded from its form (or a base class's form); without any form it
  // is made plainly, with an empty view and no zk_viewDidLoad.
  template <class T>
  static T* controller(QObject* parent = nullptr) {
    auto* instance = new T(parent);
    instance->loadFromInterface();
    return instance;
  }

  // The form name for a controller class: the first class from `type` up to ZKViewController whose
  // name has a form; empty when none has (or for a class outside the view controllers).
  static QString nibName(const QMetaObject* type);
  // nibName through a process-wide cache by class name; names that were not found are not cached, so
  // they are looked up again on every call.
  static QString cachedNibName(const QMetaObject* type);
  static bool nibNameIsCached(const QString& className);

  // The view; an empty one is made on first use when no form gave one.
  QWidget* view();
  bool isViewLoaded() const { return view_ != nullptr; }
  // The form's uic object of class Ui, when the view came from that form.
  template <class Ui>
  Ui* ui() const {
    auto* form = dynamic_cast<ZKDesignerUi<Ui>*>(form_.get());
    return form ? &form->ui : nullptr;
  }

  // The window the view shows in: the one set, else the view's window when the view is in one, else
  // the window of the nearest controller that owns this one (as its QObject parent), else the
  // application's active window.
  QWidget* parentWindow() const;
  void setParentWindow(QWidget* window) { parentWindow_ = window; }
  ZKWindowController* parentWindowController() const;
  void setParentWindowController(ZKWindowController* controller);
  ZKNavigationController* navigationController() const;
  void setNavigationController(ZKNavigationController* navigation);

  // Resize the window for this controller even when the view is already large enough.
  bool forceResize() const { return forceResize_; }
  void setForceResize(bool force) { forceResize_ = force; }
  bool zk_viewHasLoaded() const { return viewHasLoaded_; }
  bool zk_isVisible() const { return isVisible_; }
  void zk_setIsVisible(bool visible) { isVisible_ = visible; }

  // The content size this controller wants; the zero size means no wish.
  virtual QSizeF viewMinSize() const { return QSizeF(0, 0); }

  // Runs zk_viewDidLoad the first time only.
  virtual void awakeFromNib();

  // Hooks, empty here: set-up once after loading, and around showing and removing the view.
  virtual void zk_viewDidLoad() {}
  virtual void zk_viewWillAppear() {}
  virtual void zk_viewDidAppear() {}
  virtual void zk_viewWillDisappear() {}
  virtual void zk_viewDidDisappear() {}

  // "<ClassName: 0x...>"
  QString description() const;

 protected:
  // Loads the view from the form for this class, wakes it and this controller.
  void loadFromInterface();

 private:
  std::unique_ptr<ZKInterfaceForm> form_;
  QPointer<QWidget> view_;
  QPointer<QWidget> parentWindow_;
  QPointer<ZKWindowController> parentWindowController_;
  QPointer<ZKNavigationController> navigationController_;
  bool forceResize_ = false;
  bool viewHasLoaded_ = false;
  bool isVisible_ = false;
};
