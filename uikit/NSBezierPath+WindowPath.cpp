#include <algorithm>

#include "uikit/NSBezierPath+WindowPath.h"

namespace {

// The arrow: its tip 10 points above the base line b at m, its flanks reaching `left` and `right`
// points out from m along the base (15 each for the full arrow), curving in to the rounded tip.
ZKBezierPath arrowPath(double m, double b, double left, double right) {
  ZKBezierPath arrow;
  arrow.moveTo(QPointF(m - left, b));
  arrow.curveTo(QPointF(m, b + 10), QPointF(m - left / 2, b), QPointF(m - left * 2.0 / 7.0, b + 10));
  arrow.curveTo(QPointF(m + right, b), QPointF(m + right * 2.0 / 7.0, b + 10), QPointF(m + right / 2, b));
  arrow.lineTo(QPointF(m - left, b));
  arrow.closePath();
  return arrow;
}

// The outline with the arrow, when shown, at `arrowAt` across the widened bounds (nullopt: the
// middle, with the full arrow whatever the width).
ZKBezierPath windowPath(const QRectF& bounds, bool showsArrow, std::optional<double> arrowAt) {
  const double x = bounds.x(), y = bounds.y(), w = bounds.width(), h = bounds.height();
  const double minX = x, minY = y, maxX = x + w + 1, maxY = y + h - 10;

  ZKBezierPath path;
  if (showsArrow) {
    const double b = maxY;
    if (!arrowAt) {
      // Callers pass a view's bounds, whose origin is zero: the arrow's middle ignores x.
      path.appendPath(arrowPath((w + 1) / 2, b, 15, 15));
    } else {
      const double m = std::clamp(minX + *arrowAt, minX, maxX);
      path.appendPath(arrowPath(m, b, std::min(15.0, m - minX), std::min(15.0, maxX - m)));
    }
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

}  // namespace

ZKBezierPath zk_windowPathForBounds(const QRectF& bounds, bool showsArrow) {
  return windowPath(bounds, showsArrow, std::nullopt);
}

ZKBezierPath zk_windowPathForBounds(const QRectF& bounds, bool showsArrow, double arrowMiddle) {
  return windowPath(bounds, showsArrow, arrowMiddle);
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
