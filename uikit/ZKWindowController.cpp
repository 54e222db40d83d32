#include "uikit/ZKWindowController.h"

#include <QtCore/QMetaObject>
#include <QtGui/QEventPoint>
#include <QtGui/QGuiApplication>
#include <QtGui/QScreen>
#include <QtGui/QTouchEvent>
#include <QtGui/QWindow>
#include <QtWidgets/QWidget>

#include "uikit/ZKAwakeFromNib.h"
#include "uikit/ZKDesignGeometry.h"

namespace {
std::vector<ZKSwipeTracker::Touch> touchesOf(const QTouchEvent* event, const QWidget* window) {
  std::vector<ZKSwipeTracker::Touch> touches;
  for (const QEventPoint& point : event->points()) {
    // A touch pad reports positions across its own surface; a screen's touches are taken across the
    // window.
    double x = point.normalizedPosition().x();
    if (event->device() && event->device()->type() == QInputDevice::DeviceType::TouchScreen &&
        window->width() > 0) {
      x = point.position().x() / window->width();
    }
    touches.push_back({point.id(), x});
  }
  return touches;
}

// The size a sheet opens at: the size its form gives the window, grown where the layout needs more
// (a form smaller than its content), within the screen it opens on. Never shrunk to the layout's
// bare size hint: a text view or a table asks for a token size of its own, far below what it is laid
// out to show.
QSize sheetSize(const QWidget* sheet, const QWidget* host) {
  QSize size = sheet->size().expandedTo(sheet->sizeHint());
  if (const QScreen* screen = host->screen()) size = size.boundedTo(screen->availableGeometry().size());
  return size;
}
}  // namespace

ZKWindowController::ZKWindowController(QObject* parent) : QObject(parent) {}

ZKWindowController::~ZKWindowController() { delete window_.data(); }

void ZKWindowController::setWindow(QWidget* window) {
  if (window_ == window) return;
  if (window_) window_->removeEventFilter(this);
  window_ = window;
  if (window_ && wantsSwipeEvents()) {
    window_->setAttribute(Qt::WA_AcceptTouchEvents);
    window_->installEventFilter(this);
  }
}

void ZKWindowController::loadWindowFromInterface() {
  const QString name = QString::fromLatin1(metaObject()->className());
  form_ = ZKInterfaceResources::makeForm(name);
  if (!form_) return;
  setWindow(form_->instantiate(nullptr));
  ZKAwakeFromNib::awakeWidgetTree(window_);
  awakeFromNib();
}

void ZKWindowController::awakeFromNib() {
  // The window's look follows the theme manager, so no appearance is forced here.
  if (wantsSwipeEvents()) {
    tracker_ = ZKSwipeTracker();
    if (window_) {
      window_->setAttribute(Qt::WA_AcceptTouchEvents);
      window_->removeEventFilter(this);
      window_->installEventFilter(this);
    }
  }
  if (!viewIsLoaded_) {
    viewIsLoaded_ = true;
    zk_viewDidLoad();
  }
}

void ZKWindowController::beginSheetInWindow(QWidget* window) {
  zk_sheetWillAppear();
  QPointer<QWidget> host(window);
  QMetaObject::invokeMethod(
      this,
      [this, host] {
        if (!window_ || !host) return;
        // A sheet is a window-modal child window of its host, hanging from the top of the host's inside.
        window_->setParent(host, (window_->windowFlags() & ~Qt::WindowType_Mask) | Qt::Sheet);
        window_->setWindowModality(Qt::WindowModal);
        window_->resize(sheetSize(window_, host));
        sheetHost_ = host;
        // Placed before it is shown, so that the window manager takes the place as given rather than
        // choosing one; the sheet's decorations are known only once it is on the screen, so the place
        // is checked again then.
        placeSheet();
        window_->show();
        if (QWindow* handle = window_->windowHandle()) {
          handle->removeEventFilter(this);
          handle->installEventFilter(this);
          placeWhenExposed_ = true;
        }
        window_->raise();
        window_->activateWindow();
        zk_sheetDidAppear();
      },
      Qt::QueuedConnection);
}

void ZKWindowController::placeSheet() {
  QWidget* host = sheetHost_;
  if (!window_ || !host) return;
  // A top-level widget's geometry is its inside on the screen, its frame geometry the decorated
  // window. Before the sheet is mapped it has no decorations yet: the host's stand in for them.
  auto marginsOf = [](const QWidget* widget) {
    const QRect inside = widget->geometry();
    const QRect frame = widget->frameGeometry();
    return QMargins(inside.left() - frame.left(), inside.top() - frame.top(), frame.right() - inside.right(),
                    frame.bottom() - inside.bottom());
  };
  QMargins margins = marginsOf(window_);
  if (margins.isNull()) margins = marginsOf(host);
  const QRect hostInside = host->geometry();
  QScreen* screen = QGuiApplication::screenAt(hostInside.center());
  if (!screen) screen = host->screen();
  const QRect frame = ZKDesignGeometry::sheetFrame(hostInside, window_->size().grownBy(margins),
                                                   screen ? screen->availableGeometry() : QRect());
  // move() places the decorated window's corner.
  if (!window_->isVisible() || window_->frameGeometry().topLeft() != frame.topLeft())
    window_->move(frame.topLeft());
}

void ZKWindowController::closeSheet() {
  zk_sheetWillDisappear();
  didEndSheet();
  zk_sheetDidDisappear();
}

void ZKWindowController::didEndSheet() {
  if (window_) window_->hide();
}

bool ZKWindowController::isSheetVisible() const {
  return window_ && window_->isVisible() && window_->windowModality() == Qt::WindowModal;
}

void ZKWindowController::beginGestureWithTouches(const std::vector<ZKSwipeTracker::Touch>& touches) {
  if (wantsSwipeEvents()) tracker_.begin(touches);
}

void ZKWindowController::endGestureWithTouches(const std::vector<ZKSwipeTracker::Touch>& touches) {
  if (!wantsSwipeEvents()) return;
  switch (tracker_.end(touches)) {
    case ZKSwipeTracker::Swipe::Forward:
      didSwipeForward();
      break;
    case ZKSwipeTracker::Swipe::Back:
      didSwipeBack();
      break;
    case ZKSwipeTracker::Swipe::None:
      break;
  }
}

bool ZKWindowController::eventFilter(QObject* watched, QEvent* event) {
  if (placeWhenExposed_ && window_ && watched == window_->windowHandle() && event->type() == QEvent::Expose &&
      window_->windowHandle()->isExposed()) {
    // The sheet is on the screen with its decorations (and wherever the window manager put it).
    placeWhenExposed_ = false;
    QMetaObject::invokeMethod(
        this, [this] { placeSheet(); }, Qt::QueuedConnection);
  }
  if (watched == window_ && wantsSwipeEvents()) {
    if (event->type() == QEvent::TouchBegin) {
      beginGestureWithTouches(touchesOf(static_cast<QTouchEvent*>(event), window_));
    } else if (event->type() == QEvent::TouchEnd) {
      endGestureWithTouches(touchesOf(static_cast<QTouchEvent*>(event), window_));
    }
  }
  return QObject::eventFilter(watched, event);
}
