#include "uikit/ZKBezierPath.h"

#include <algorithm>
#include <cmath>
#include <numbers>

void ZKBezierPath::moveTo(QPointF point) {
  elements_.push_back({ElementType::MoveTo, {point, {}, {}}});
  currentPoint_ = subpathStart_ = point;
  hasCurrentPoint_ = true;
}

void ZKBezierPath::lineTo(QPointF point) {
  if (!hasCurrentPoint_) {
    moveTo(point);
    return;
  }
  elements_.push_back({ElementType::LineTo, {point, {}, {}}});
  currentPoint_ = point;
}

void ZKBezierPath::curveTo(QPointF end, QPointF control1, QPointF control2) {
  if (!hasCurrentPoint_) moveTo(control1);
  elements_.push_back({ElementType::CurveTo, {control1, control2, end}});
  currentPoint_ = end;
}

void ZKBezierPath::closePath() {
  if (!hasCurrentPoint_) return;
  elements_.push_back({ElementType::ClosePath, {}});
  currentPoint_ = subpathStart_;
}

void ZKBezierPath::appendArc(QPointF center, double radius, double startAngle, double endAngle,
                             bool clockwise) {
  constexpr double kDegree = std::numbers::pi / 180.0;
  double start = startAngle * kDegree;
  double end = endAngle * kDegree;
  // The sweep, signed by direction; a full turn at most.
  double sweep = end - start;
  if (!clockwise) {
    while (sweep < 0) sweep += 2 * std::numbers::pi;
  } else {
    while (sweep > 0) sweep -= 2 * std::numbers::pi;
  }
  auto pointAt = [&](double angle) {
    return QPointF(center.x() + radius * std::cos(angle), center.y() + radius * std::sin(angle));
  };
  QPointF first = pointAt(start);
  if (hasCurrentPoint_) {
    lineTo(first);
  } else {
    moveTo(first);
  }
  // Quarter turns or less per curve keep the cubic within a hair of the circle.
  int pieces = std::max(1, static_cast<int>(std::ceil(std::abs(sweep) / (std::numbers::pi / 2) - 1e-9)));
  double step = sweep / pieces;
  double k = 4.0 / 3.0 * std::tan(step / 4.0);
  double angle = start;
  for (int i = 0; i < pieces; ++i) {
    double next = angle + step;
    QPointF p0 = pointAt(angle);
    QPointF p3 = pointAt(next);
    QPointF c1(p0.x() - k * radius * std::sin(angle), p0.y() + k * radius * std::cos(angle));
    QPointF c2(p3.x() + k * radius * std::sin(next), p3.y() - k * radius * std::cos(next));
    curveTo(p3, c1, c2);
    angle = next;
  }
}

void ZKBezierPath::appendPath(const ZKBezierPath& other) {
  for (const auto& element : other.elements_) {
    switch (element.type) {
      case ElementType::MoveTo:
        moveTo(element.points[0]);
        break;
      case ElementType::LineTo:
        lineTo(element.points[0]);
        break;
      case ElementType::CurveTo:
        curveTo(element.points[2], element.points[0], element.points[1]);
        break;
      case ElementType::ClosePath:
        closePath();
        break;
    }
  }
}

ZKBezierPath ZKBezierPath::rect(const QRectF& r) {
  ZKBezierPath path;
  path.moveTo(r.topLeft());
  path.lineTo(QPointF(r.right(), r.top()));
  path.lineTo(r.bottomRight());
  path.lineTo(QPointF(r.left(), r.bottom()));
  path.closePath();
  return path;
}

ZKBezierPath ZKBezierPath::roundedRect(const QRectF& r, double xRadius, double yRadius) {
  // In y-up terms QRectF's top() is the smallest y (the bottom edge) and bottom() the largest.
  double rx = std::clamp(xRadius, 0.0, r.width() / 2);
  double ry = std::clamp(yRadius, 0.0, r.height() / 2);
  if (rx <= 0 || ry <= 0) return rect(r);
  // Elliptic quarter turns: a circle arc scaled per axis.
  constexpr double k = 0.5522847498307936;  // 4/3 * tan(pi/8)
  const double minX = r.left(), maxX = r.right(), minY = r.top(), maxY = r.bottom();
  ZKBezierPath path;
  path.moveTo(QPointF(minX + rx, minY));
  path.lineTo(QPointF(maxX - rx, minY));
  path.curveTo(QPointF(maxX, minY + ry), QPointF(maxX - rx + k * rx, minY),
               QPointF(maxX, minY + ry - k * ry));
  path.lineTo(QPointF(maxX, maxY - ry));
  path.curveTo(QPointF(maxX - rx, maxY), QPointF(maxX, maxY - ry + k * ry),
               QPointF(maxX - rx + k * rx, maxY));
  path.lineTo(QPointF(minX + rx, maxY));
  path.curveTo(QPointF(minX, maxY - ry), QPointF(minX + rx - k * rx, maxY),
               QPointF(minX, maxY - ry + k * ry));
  path.lineTo(QPointF(minX, minY + ry));
  path.curveTo(QPointF(minX + rx, minY), QPointF(minX, minY + ry - k * ry),
               QPointF(minX + rx - k * rx, minY));
  path.closePath();
  return path;
}

QRectF ZKBezierPath::controlPointBounds() const {
  bool any = false;
  double minX = 0, minY = 0, maxX = 0, maxY = 0;
  auto add = [&](QPointF p) {
    if (!any) {
      minX = maxX = p.x();
      minY = maxY = p.y();
      any = true;
      return;
    }
    minX = std::min(minX, p.x());
    maxX = std::max(maxX, p.x());
    minY = std::min(minY, p.y());
    maxY = std::max(maxY, p.y());
  };
  for (const auto& element : elements_) {
    int count = element.type == ElementType::CurveTo ? 3 : element.type == ElementType::ClosePath ? 0 : 1;
    for (int i = 0; i < count; ++i) add(element.points[i]);
  }
  return any ? QRectF(QPointF(minX, minY), QPointF(maxX, maxY)) : QRectF();
}
