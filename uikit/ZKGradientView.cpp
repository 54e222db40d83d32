#include "uikit/ZKGradientView.h"

#include <QtGui/QLinearGradient>
#include <QtGui/QPainter>

ZKGradientView::ZKGradientView(QWidget* parent) : QWidget(parent) {}

ZKGradientView::ZKGradientView(const QRect& frame, const QColor& startColor, const QColor& endColor,
                               QWidget* parent)
    : QWidget(parent), startColor_(startColor), endColor_(endColor) {
  setGeometry(frame);
  configure();
}

void ZKGradientView::awakeFromNib() { configure(); }

void ZKGradientView::paintEvent(QPaintEvent*) {
  if (!startColor_.isValid() || !endColor_.isValid()) return;
  const QRectF bounds = rect();
  // Vertical: the start colour along the top edge; else along the left edge.
  QLinearGradient gradient(bounds.topLeft(), isVertical_ ? bounds.bottomLeft() : bounds.topRight());
  gradient.setColorAt(0, startColor_);
  gradient.setColorAt(1, endColor_);
  QPainter painter(this);
  painter.fillRect(bounds, gradient);
}
