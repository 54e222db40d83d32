#include <QtCore/QPropertyAnimation>
#include <QtWidgets/QWidget>

#include "uikit/NSWindow+ContentView.h"
#include "uikit/ZKDesignGeometry.h"
#include "uikit/ZKYosemiteWindow.h"

namespace {
constexpr const char* kMinimumSizeProperty = "zkResizableMinimumSize";
constexpr const char* kMaximumSizeProperty = "zkResizableMaximumSize";
constexpr const char* kFrameAnimationName = "zkContentSizeAnimation";

const QWidget* contentViewOf(const QWidget* window) {
  if (auto* yosemite = qobject_cast<const ZKYosemiteWindow*>(window)) return yosemite->contentView();
  return window;
}

QRect newGeometry(const QWidget* window, QSizeF size, double borderThickness) {
  const QWidget* content = contentViewOf(window);
  const QSizeF current = content ? QSizeF(content->size()) : QSizeF(0, 0);
  const QRectF frame =
      ZKDesignGeometry::frameForContentSize(QRectF(window->geometry()), current, size, borderThickness);
  return frame.toRect();
}

void applyGeometry(QWidget* window, const QRect& geometry, bool animated, int milliseconds) {
  // A change in progress is replaced by the new one.
  if (auto* running = window->findChild<QPropertyAnimation*>(QLatin1String(kFrameAnimationName))) {
    running->stop();
    running->deleteLater();
  }
  if (!window->isVisible() && !window->testAttribute(Qt::WA_Moved)) {
    // Never placed yet: the window manager places it when it is first shown, so only its size is
    // set. Placing it from its unset origin would put it partly off the screen, title bar included.
    window->resize(geometry.size());
    return;
  }
  if (!animated || !window->isVisible()) {
    window->setGeometry(geometry);
    window->update();
    return;
  }
  auto* animation = new QPropertyAnimation(window, "geometry", window);
  animation->setObjectName(QLatin1String(kFrameAnimationName));
  animation->setDuration(milliseconds);
  animation->setEndValue(geometry);
  animation->start(QAbstractAnimation::DeleteWhenStopped);
}
}  // namespace

QSizeF zk_contentSize(const QWidget* window) {
  const QWidget* content = contentViewOf(window);
  if (!content) return QSizeF(0, -37);
  return QSizeF(content->width(), content->height() - 37);
}

void zk_setContentSize(QWidget* window, QSizeF size, bool animated, double borderThickness) {
  if (!window) return;
  applyGeometry(window, newGeometry(window, size, borderThickness), animated, 100);
}

void zk_originalSetContentSize(QWidget* window, QSizeF size, bool) {
  if (!window) return;
  applyGeometry(window, newGeometry(window, size, 0), false, 0);
}

bool zk_isResizable(const QWidget* window) { return window->minimumSize() != window->maximumSize(); }

void zk_setResizable(QWidget* window, bool resizable) {
  if (!window || resizable == zk_isResizable(window)) return;
  if (!resizable) {
    window->setProperty(kMinimumSizeProperty, window->minimumSize());
    window->setProperty(kMaximumSizeProperty, window->maximumSize());
    window->setFixedSize(window->size());
    return;
  }
  const QVariant minimum = window->property(kMinimumSizeProperty);
  const QVariant maximum = window->property(kMaximumSizeProperty);
  window->setMinimumSize(minimum.isValid() ? minimum.toSize() : QSize(0, 0));
  window->setMaximumSize(maximum.isValid() ? maximum.toSize() : QSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX));
}

bool zk_isFullScreen(const QWidget* window) {
  return window && (window->windowState() & Qt::WindowFullScreen);
}
