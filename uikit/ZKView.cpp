#include "uikit/ZKView.h"

#include <QtGui/QPainter>
#include <QtGui/QPainterPath>

#include "uikit/ZKDesignGeometry.h"

ZKView::ZKView(QWidget* parent) : QWidget(parent) {}

void ZKView::setBackgroundColor(const QColor& color) {
  if (color == backgroundColor_ && color.isValid() == backgroundColor_.isValid()) return;
  backgroundColor_ = color;
  update();
}

void ZKView::setBackgroundImage(const QImage& image) {
  backgroundImage_ = image;
  update();
}

void ZKView::setCornerRadius(double radius) {
  cornerRadius_ = radius;
  update();
}

void ZKView::setRoundedCorners(std::int64_t corners) {
  roundedCorners_ = corners;
  update();
}

void ZKView::setShadow(std::optional<ZKShadow> shadow) {
  shadow_ = std::move(shadow);
  update();
}

void ZKView::setAlphaValue(double alpha) {
  alphaValue_ = alpha;
  update();
}

void ZKView::awakeFromNib() { roundedCorners_ = AllCorners; }

QRectF ZKView::drawingBounds() const { return QRectF(0, 0, width(), height()); }

ZKBezierPath ZKView::outlinePath(const QRectF& r, std::int64_t corners, double radius) {
  if (corners == AllCorners) return ZKBezierPath::roundedRect(r, radius, radius);
  // Counter-clockwise from the bottom edge: bottom right, top right, top left, bottom left. A rounded
  // corner is cut by a line to `radius` before it and a curve to `radius` after it whose control
  // points both sit on the corner.
  const double minX = r.left(), maxX = r.right(), minY = r.top(), maxY = r.bottom();
  struct CornerStep {
    std::int64_t bit;
    QPointF corner, before, after;
  };
  const CornerStep steps[] = {
      {BottomRight, {maxX, minY}, {maxX - radius, minY}, {maxX, minY + radius}},
      {TopRight, {maxX, maxY}, {maxX, maxY - radius}, {maxX - radius, maxY}},
      {TopLeft, {minX, maxY}, {minX + radius, maxY}, {minX, maxY - radius}},
      {BottomLeft, {minX, minY}, {minX, minY + radius}, {minX + radius, minY}},
  };
  ZKBezierPath path;
  const bool firstRounded = corners & BottomRight;
  path.moveTo(firstRounded ? steps[0].before : steps[0].corner);
  for (const auto& step : steps) {
    if (corners & step.bit) {
      path.lineTo(step.before);
      path.curveTo(step.after, step.corner, step.corner);
    } else {
      path.lineTo(step.corner);
    }
  }
  path.closePath();
  return path;
}

ZKBezierPath ZKView::outlinePath() const {
  QRectF r = drawingBounds();
  // A border is stroked half inside: the outline moves in by half a point, whatever the width.
  if (drawsBorder()) r.adjust(0.5, 0.5, -0.5, -0.5);
  return outlinePath(r, roundedCorners_, cornerRadius_);
}

void ZKView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  drawBackground(painter, backgroundColor_);
}

void ZKView::drawBackground(QPainter& painter, const QColor& background) {
  painter.setRenderHint(QPainter::Antialiasing);
  const double height = this->height();
  const QPainterPath outline = ZKDesignGeometry::toQt(outlinePath(), height);

  if (shadow_ && (background.isValid() || drawsBorder())) {
    // The fill and the border cast the shadow: their outline, offset, softened by fading rings.
    painter.save();
    painter.translate(shadow_->offset);
    const int rings = std::max(1, static_cast<int>(shadow_->blurRadius));
    QColor ring = shadow_->color;
    ring.setAlphaF(ring.alphaF() / rings);
    painter.setBrush(Qt::NoBrush);
    for (int i = rings; i >= 1; --i) {
      painter.setPen(QPen(ring, i * 2.0));
      painter.drawPath(outline);
    }
    painter.fillPath(outline, ring);
    painter.restore();
  }
  if (background.isValid()) {
    painter.fillPath(outline, background);
  }
  if (drawsBorder()) {
    painter.save();
    painter.setPen(QPen(borderColor_, borderWidth_));
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(outline);
    painter.restore();
  }
  if (!backgroundImage_.isNull()) {
    // The image covers the drawing rectangle, not clipped to the outline.
    painter.save();
    painter.setOpacity(alphaValue_);
    painter.drawImage(ZKDesignGeometry::toQt(drawingBounds(), height), backgroundImage_);
    painter.restore();
  }
}
