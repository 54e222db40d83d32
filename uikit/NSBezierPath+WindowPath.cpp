#include "uikit/NSBezierPath+WindowPath.h"

ZKBezierPath zk_windowPathForBounds(const QRectF& bounds, bool showsArrow) {
  const double x = bounds.x(), y = bounds.y(), w = bounds.width(), h = bounds.height();
  const double minX = x, minY = y, maxX = x + w + 1, maxY = y + h - 10;

  ZKBezierPath path;
  if (showsArrow) {
    // Callers pass a view's bounds, whose origin is zero: the arrow's middle ignores x.
    const double m = (w + 1) / 2;
    const double b = maxY;
    ZKBezierPath arrow;
    arrow.moveTo(QPointF(m - 15, b));
    arrow.curveTo(QPointF(m, b + 10), QPointF(m - 7.5, b), QPointF(m - 30.0 / 7.0, b + 10));
    arrow.curveTo(QPointF(m + 15, b), QPointF(m + 30.0 / 7.0, b + 10), QPointF(m + 7.5, b));
    arrow.lineTo(QPointF(m - 15, b));
    arrow.closePath();
    path.appendPath(arrow);
  }

  ZKBezierPath body;
  body.moveTo(QPointF(maxX, minY));
  body.lineTo(QPointF(maxX, maxY - 5));
  body.appendArc(QPointF(maxX - 5, maxY - 5), 5, 0, 90, false);
  body.lineTo(QPointF(minX + 5, maxY));
  body.appendArc(QPointF(minX + 5, maxY - 5), 5, 90, 180, false);
  body.lineTo(QPointF(minX, minY));
  body.closePath();
  path.appendPath(body);
  return path;
}

std::optional<ZKBezierPath> zk_CGPathRef(const ZKBezierPath& path) {
  if (path.elementCount() < 1) return std::nullopt;
  ZKBezierPath result;
  bool closed = true;
  for (const auto& element : path.elements()) {
    switch (element.type) {
      case ZKBezierPath::ElementType::MoveTo:
        result.moveTo(element.points[0]);
        break;
      case ZKBezierPath::ElementType::LineTo:
        result.lineTo(element.points[0]);
        closed = false;
        break;
      case ZKBezierPath::ElementType::CurveTo:
        result.curveTo(element.points[2], element.points[0], element.points[1]);
        closed = false;
        break;
      case ZKBezierPath::ElementType::ClosePath:
        result.closePath();
        closed = true;
        break;
    }
  }
  if (!closed) result.closePath();
  return result;
}
