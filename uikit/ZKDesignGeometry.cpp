#include "uikit/ZKDesignGeometry.h"

QPointF ZKDesignGeometry::toQt(QPointF designPoint, double containerHeight) {
  return QPointF(designPoint.x(), containerHeight - designPoint.y());
}

QRectF ZKDesignGeometry::toQt(const QRectF& designRect, double containerHeight) {
  return QRectF(designRect.x(), containerHeight - designRect.y() - designRect.height(), designRect.width(),
                designRect.height());
}

QPainterPath ZKDesignGeometry::toQt(const ZKBezierPath& path, double containerHeight) {
  QPainterPath result;
  for (const auto& element : path.elements()) {
    switch (element.type) {
      case ZKBezierPath::ElementType::MoveTo:
        result.moveTo(toQt(element.points[0], containerHeight));
        break;
      case ZKBezierPath::ElementType::LineTo:
        result.lineTo(toQt(element.points[0], containerHeight));
        break;
      case ZKBezierPath::ElementType::CurveTo:
        result.cubicTo(toQt(element.points[0], containerHeight), toQt(element.points[1], containerHeight),
                       toQt(element.points[2], containerHeight));
        break;
      case ZKBezierPath::ElementType::ClosePath:
        result.closeSubpath();
        break;
    }
  }
  return result;
}

QRectF ZKDesignGeometry::frameForContentSize(const QRectF& frame, QSizeF currentContent, QSizeF wanted,
                                             double borderThickness) {
  const double dw = wanted.width() - currentContent.width();
  const double dh = wanted.height() - (currentContent.height() - borderThickness);
  // y-up: the origin (bottom edge) goes down by dh so that the top stays. y-down: the top is the
  // origin, so it does not move at all.
  return QRectF(frame.x() - dw / 2, frame.y(), frame.width() + dw, frame.height() + dh);
}

QRect ZKDesignGeometry::sheetFrame(const QRect& hostContent, QSize frameSize, const QRect& available) {
  QRect frame(QPoint(hostContent.x() + (hostContent.width() - frameSize.width()) / 2, hostContent.y()),
              frameSize);
  if (available.isEmpty()) return frame;
  // Right and bottom first, so that a sheet too large for the screen ends with its left and top
  // edges on it.
  if (frame.right() > available.right()) frame.moveRight(available.right());
  if (frame.bottom() > available.bottom()) frame.moveBottom(available.bottom());
  if (frame.left() < available.left()) frame.moveLeft(available.left());
  if (frame.top() < available.top()) frame.moveTop(available.top());
  return frame;
}
