#include "windows/QVDockedHeaderView.h"

#include <QtCore/QPointer>
#include <QtCore/QTimer>
#include <QtGui/QPainter>
#include <QtWidgets/QApplication>

#include "shell/QVUserDefaults.h"
#include "uikit/NSBezierPath+WindowPath.h"
#include "uikit/ZKDesignGeometry.h"

QVDockedHeaderView::QVDockedHeaderView(QWidget* parent) : ZKThemableView(parent) {
  setBackgroundColorKey(QStringLiteral("windowHeaderColor"));
  // The outline is this view's own drawing; the plain fill of the base stays off.
  showsArrow_ = QVUserDefaults::standardUserDefaults()->isDocked();
  QPointer<QVDockedHeaderView> self(this);
  dockedObservation_ =
      QVUserDefaults::standardUserDefaults()->addObserverForKey(QVIsDockedKey, [self](const std::string&) {
        QMetaObject::invokeMethod(qApp, [self] {
          QTimer::singleShot(200, self.data(), [self] {
            if (self) self->setShowsArrow(QVUserDefaults::standardUserDefaults()->isDocked());
          });
        });
      });
  applyTheme();
  updatePath();
}

void QVDockedHeaderView::awakeFromNib() {
  ZKThemableView::awakeFromNib();
  showsArrow_ = QVUserDefaults::standardUserDefaults()->isDocked();
  applyTheme();
  updatePath();
}

void QVDockedHeaderView::setShowsArrow(bool shows) {
  showsArrow_ = shows;
  updatePath();
}

void QVDockedHeaderView::setArrowPosition(std::optional<double> position) {
  if (position == arrowPosition_) return;
  arrowPosition_ = position;
  updatePath();
}

void QVDockedHeaderView::updatePath() {
  const QRectF bounds(QPointF(0, 0), QSizeF(size()));
  const ZKBezierPath outline =
      arrowPosition_
          ? zk_windowPathForBounds(bounds, showsArrow_, *arrowPosition_ - mapTo(window(), QPoint(0, 0)).x())
          : zk_windowPathForBounds(bounds, showsArrow_);
  path_ = ZKDesignGeometry::toQt(outline, bounds.height());
  update();
  Q_EMIT backgroundPathDidChange();
}

void QVDockedHeaderView::applyTheme() {
  ZKThemableView::applyTheme();
  // The shape takes the new colour; its outline stays.
  fillColor_ = backgroundColor();
  update();
}

void QVDockedHeaderView::resizeEvent(QResizeEvent* event) {
  ZKThemableView::resizeEvent(event);
  updatePath();
}

void QVDockedHeaderView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  // A window shaped to this outline has hard edges: the fill keeps to the same pixels as the shape,
  // so no edge pixel is blended with what lies under the header.
  painter.setRenderHint(QPainter::Antialiasing, window()->mask().isEmpty());
  painter.fillPath(path_, fillColor_);
}
