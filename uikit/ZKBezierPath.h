#pragma once

#include <QtCore/QPointF>
#include <QtCore/QRectF>
#include <vector>

// A path in the kit's drawing coordinates, where y grows upwards (the smallest y is the bottom), as
// every path formula of the kit is stated. Arcs are kept as cubic curves, so a path is a list of
// move, line, curve and close elements. ZKDesignGeometry turns it into a QPainterPath for Qt's
// y-down widgets.
class ZKBezierPath {
 public:
  enum class ElementType { MoveTo, LineTo, CurveTo, ClosePath };
  struct Element {
    ElementType type;
    // MoveTo/LineTo: points[0]; CurveTo: two control points, then the end point; ClosePath: none.
    QPointF points[3];
    bool operator==(const Element&) const = default;
  };

  void moveTo(QPointF point);
  void lineTo(QPointF point);
  void curveTo(QPointF end, QPointF control1, QPointF control2);
  void closePath();
  // An arc about `center` from `startAngle` to `endAngle` (degrees, 0 along +x, counter-clockwise
  // positive), drawn counter-clockwise unless `clockwise`. A line joins it to the current point when
  // there is one; otherwise the arc starts a subpath.
  void appendArc(QPointF center, double radius, double startAngle, double endAngle, bool clockwise);
  void appendPath(const ZKBezierPath& other);

  // A closed rectangle, and one with rounded corners (radii limited to half the sides).
  static ZKBezierPath rect(const QRectF& rect);
  static ZKBezierPath roundedRect(const QRectF& rect, double xRadius, double yRadius);

  int elementCount() const { return static_cast<int>(elements_.size()); }
  const std::vector<Element>& elements() const { return elements_; }
  bool isEmpty() const { return elements_.empty(); }
  bool hasCurrentPoint() const { return hasCurrentPoint_; }
  QPointF currentPoint() const { return currentPoint_; }
  // The smallest rectangle holding every point of every element, control points included.
  QRectF controlPointBounds() const;

  bool operator==(const ZKBezierPath& other) const { return elements_ == other.elements_; }

 private:
  std::vector<Element> elements_;
  QPointF currentPoint_;
  QPointF subpathStart_;
  bool hasCurrentPoint_ = false;
};
