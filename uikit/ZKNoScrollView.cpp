#include "uikit/ZKNoScrollView.h"

#include <QtGui/QWheelEvent>
#include <QtWidgets/QScrollBar>

ZKNoScrollView::ZKNoScrollView(QWidget* parent) : QScrollArea(parent) {
  // The scroll bars take wheel events of their own.
  verticalScrollBar()->installEventFilter(this);
  horizontalScrollBar()->installEventFilter(this);
}

bool ZKNoScrollView::isDroppedGesture(QEvent* event) const {
  if (scrollingEnabled_) return false;
  switch (event->type()) {
    case QEvent::Wheel:
    case QEvent::NativeGesture:
    case QEvent::Gesture:
      return true;
    default:
      return false;
  }
}

void ZKNoScrollView::wheelEvent(QWheelEvent* event) {
  if (!scrollingEnabled_) {
    event->accept();
    return;
  }
  QScrollArea::wheelEvent(event);
}

bool ZKNoScrollView::viewportEvent(QEvent* event) {
  if (isDroppedGesture(event)) {
    event->accept();
    return true;
  }
  return QScrollArea::viewportEvent(event);
}

bool ZKNoScrollView::eventFilter(QObject* watched, QEvent* event) {
  if ((watched == verticalScrollBar() || watched == horizontalScrollBar()) && isDroppedGesture(event)) {
    event->accept();
    return true;
  }
  return QScrollArea::eventFilter(watched, event);
}
