#include "uikit/ZKViewController.h"

#include <QtCore/QEvent>
#include <QtCore/QHash>
#include <QtWidgets/QApplication>
#include <QtWidgets/QWidget>
#include <mutex>

#include "platform/ViewAppearanceHook.h"
#include "uikit/ZKAwakeFromNib.h"
#include "uikit/ZKNavigationController.h"
#include "uikit/ZKWindowController.h"

namespace {
// Class name to form name, made once on first use. Lookups happen on the GUI thread; the lock keeps
// the cache whole should a helper thread ask.
std::mutex gNibCacheMutex;
QHash<QString, QString>* gNibCache = nullptr;

// Reports the controller's view to the view-appearance hook each time the view is about to show.
class ZKViewAppearanceFilter : public QObject {
 public:
  explicit ZKViewAppearanceFilter(ZKViewController* controller)
      : QObject(controller), controller_(controller) {}
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Show && platform::ViewAppearanceHook::isInstalled()) {
      platform::ViewAppearanceHook::viewWillAppear(controller_->metaObject()->className());
    }
    return QObject::eventFilter(watched, event);
  }

 private:
  ZKViewController* controller_;
};

void watchAppearance(ZKViewController* controller, QWidget* view) {
  if (view) view->installEventFilter(new ZKViewAppearanceFilter(controller));
}

void setupXibCacheIfNeeded() {
  if (!gNibCache) gNibCache = new QHash<QString, QString>;
}
}  // namespace

ZKViewController::ZKViewController(QObject* parent) : QObject(parent) {}

ZKViewController::~ZKViewController() {
  // The controller owns its view, wherever the view is shown now.
  delete view_.data();
}

QString ZKViewController::nibName(const QMetaObject* type) {
  const QMetaObject* stop = ZKViewController::staticMetaObject.superClass();
  if (!type || type == stop) return QString();
  for (const QMetaObject* current = type; current && current != stop; current = current->superClass()) {
    const QString name = QString::fromLatin1(current->className());
    if (ZKInterfaceResources::hasForm(name)) return name;
  }
  return QString();
}

QString ZKViewController::cachedNibName(const QMetaObject* type) {
  const QString className = QString::fromLatin1(type->className());
  {
    std::lock_guard lock(gNibCacheMutex);
    setupXibCacheIfNeeded();
    auto it = gNibCache->constFind(className);
    if (it != gNibCache->constEnd()) return it.value();
  }
  QString name = nibName(type);
  if (!name.isEmpty()) {
    std::lock_guard lock(gNibCacheMutex);
    gNibCache->insert(className, name);
  }
  return name;
}

bool ZKViewController::nibNameIsCached(const QString& className) {
  std::lock_guard lock(gNibCacheMutex);
  return gNibCache && gNibCache->contains(className);
}

void ZKViewController::loadFromInterface() {
  const QString name = cachedNibName(metaObject());
  if (name.isEmpty()) return;
  form_ = ZKInterfaceResources::makeForm(name);
  if (!form_) return;
  view_ = form_->instantiate(nullptr);
  watchAppearance(this, view_);
  ZKAwakeFromNib::awakeWidgetTree(view_);
  awakeFromNib();
}

ZKWindowController* ZKViewController::parentWindowController() const { return parentWindowController_; }
void ZKViewController::setParentWindowController(ZKWindowController* controller) {
  parentWindowController_ = controller;
}
ZKNavigationController* ZKViewController::navigationController() const { return navigationController_; }
void ZKViewController::setNavigationController(ZKNavigationController* navigation) {
  navigationController_ = navigation;
}

QWidget* ZKViewController::view() {
  if (!view_) {
    view_ = new QWidget;
    watchAppearance(this, view_);
  }
  return view_;
}

void ZKViewController::awakeFromNib() {
  if (viewHasLoaded_) return;
  viewHasLoaded_ = true;
  zk_viewDidLoad();
}

QWidget* ZKViewController::parentWindow() const {
  if (parentWindow_) return parentWindow_;
  if (view_ && view_->parentWidget()) return view_->window();
  // A controller made by another one (a pane's child, a window's pane) belongs where its maker does,
  // even before its view is placed: the active window then may be another of the application's.
  for (QObject* owner = parent(); owner; owner = owner->parent()) {
    if (auto* controller = qobject_cast<ZKViewController*>(owner)) return controller->parentWindow();
    if (auto* controller = qobject_cast<ZKWindowController*>(owner)) {
      if (controller->window()) return controller->window();
    }
  }
  return QApplication::activeWindow();
}

QString ZKViewController::description() const {
  return QStringLiteral("<%1: 0x%2>")
      .arg(QString::fromLatin1(metaObject()->className()))
      .arg(reinterpret_cast<quintptr>(this), 0, 16);
}
