#include "uikit/ZKYosemiteButtonCell.h"

#include <QtGui/QFontMetricsF>
#include <QtGui/QLinearGradient>
#include <QtGui/QPainter>
#include <QtGui/QPainterPath>
#include <cmath>
#include <functional>

#include "uikit/QVTabButtonCell.h"

namespace {

QColor rgb(double r, double g, double b, double a = 1.0) {
  return QColor::fromRgbF(float(r), float(g), float(b), float(a));
}

}  // namespace

std::unique_ptr<ZKYosemiteButtonCell> ZKYosemiteButtonCell::cellWithClassName(const QString& className) {
  using Make = std::function<std::unique_ptr<ZKYosemiteButtonCell>()>;
  static const QHash<QString, Make> classes{
      {QStringLiteral("ZKYosemiteButtonCell"), [] { return std::make_unique<ZKYosemiteButtonCell>(); }},
      {QStringLiteral("ZKGreenYosemiteButtonCell"),
       [] { return std::make_unique<ZKGreenYosemiteButtonCell>(); }},
      {QStringLiteral("ZKTealYosemiteButtonCell"),
       [] { return std::make_unique<ZKTealYosemiteButtonCell>(); }},
      {QStringLiteral("ZKGrayYosemiteButtonCell"),
       [] { return std::make_unique<ZKGrayYosemiteButtonCell>(); }},
      {QStringLiteral("ZKRedYosemiteButtonCell"), [] { return std::make_unique<ZKRedYosemiteButtonCell>(); }},
      {QStringLiteral("ZKUpdatedBlueYosemiteButtonCell"),
       [] { return std::make_unique<ZKUpdatedBlueYosemiteButtonCell>(); }},
      {QStringLiteral("ZKNormalYosemiteButton"), [] { return std::make_unique<ZKNormalYosemiteButton>(); }},
      {QStringLiteral("ZKBlueYosemiteButtonCell"),
       [] { return std::make_unique<ZKBlueYosemiteButtonCell>(); }},
      {QStringLiteral("QVTabButtonCell"), [] { return std::make_unique<QVTabButtonCell>(); }},
      {QStringLiteral("QVGreenTabButtonCell"), [] { return std::make_unique<QVGreenTabButtonCell>(); }},
      {QStringLiteral("QVRedTabButtonCell"), [] { return std::make_unique<QVRedTabButtonCell>(); }},
  };
  const auto found = classes.constFind(className);
  return found == classes.constEnd() ? nullptr : (*found)();
}

void ZKYosemiteButtonCell::awakeFromNib() {
  shadow_ = ZKShadow{QColor::fromRgbF(0, 0, 0, 0.3f), QPointF(0, 1), 1.0};
}

ZKYosemiteButtonCell::Bezel ZKYosemiteButtonCell::completeBezel(QColor stroke, QColor fill,
                                                                std::optional<ZKGradient> gradient) const {
  if (!fill.isValid() && !gradient) {
    fill = backgroundColor();
    gradient = backgroundGradient();
  }
  Bezel b{std::move(stroke), std::move(fill), std::move(gradient), 0};
  if (const auto s = shadow())
    b.inset = s->blurRadius + 0.5;
  else if (b.stroke.isValid())
    b.inset = 0.5;
  return b;
}

ZKYosemiteButtonCell::Bezel ZKYosemiteButtonCell::bezel() const {
  QColor stroke = strokeColor(), fill = backgroundColor();
  std::optional<ZKGradient> gradient = backgroundGradient();
  // A state replaces the normal colours; a state of which nothing at all is set keeps them.
  auto replace = [&](QColor s, QColor f, std::optional<ZKGradient> g) {
    if (!s.isValid() && !f.isValid() && !g) return;
    stroke = std::move(s);
    fill = std::move(f);
    gradient = std::move(g);
  };
  if (hovered_) replace(strokeColorHovered(), backgroundColorHovered(), backgroundGradientHovered());
  if (mouseDown_)  // pressed wins over hovered
    replace(strokeColorPressed(), backgroundColorPressed(), backgroundGradientPressed());
  return completeBezel(stroke, fill, gradient);
}

QColor ZKYosemiteButtonCell::currentTitleColor() const {
  return mouseDown_ ? titleColorPressed() : titleColor();
}

void ZKYosemiteButtonCell::drawBezelWithFrame(QPainter& painter, const QRectF& frame) const {
  const Bezel b = bezel();
  painter.save();
  painter.setRenderHint(QPainter::Antialiasing);
  const QRectF rect = frame.adjusted(b.inset, b.inset, -b.inset, -b.inset);
  QPainterPath path;
  path.addRoundedRect(rect, cornerRadius(), cornerRadius());

  if (const auto s = shadow(); s && s->color.alpha() > 0) {
    // The shadow: the outline moved by the offset, softened over the blur radius.
    painter.setPen(Qt::NoPen);
    const int steps = std::max(1, int(std::ceil(s->blurRadius * 2)));
    for (int i = steps; i >= 1; --i) {
      const double grow = s->blurRadius * i / steps;
      QColor c = s->color;
      c.setAlphaF(s->color.alphaF() / float(steps + 1));
      painter.setBrush(c);
      painter.drawRoundedRect(rect.translated(s->offset).adjusted(-grow, -grow, grow, grow),
                              cornerRadius() + grow, cornerRadius() + grow);
    }
    QColor core = s->color;
    core.setAlphaF(s->color.alphaF() * 0.5f);
    painter.setBrush(core);
    painter.drawPath(path.translated(s->offset));
  }

  if (b.gradient) {
    QLinearGradient gradient(rect.topLeft(), rect.bottomLeft());
    gradient.setColorAt(0, b.gradient->from);
    gradient.setColorAt(1, b.gradient->to);
    painter.fillPath(path, gradient);
  } else if (b.fill.isValid()) {
    painter.fillPath(path, b.fill);
  }
  if (b.stroke.isValid()) {
    painter.setPen(QPen(b.stroke, 1.0));
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(path);
  }
  painter.restore();
}

QRectF ZKYosemiteButtonCell::titleRectForFrame(const QRectF& frame) const {
  const QFontMetricsF metrics(font_);
  const double h = metrics.height();
  return QRectF(frame.x(), frame.y() + std::floor(frame.height() / 2 - h / 2) - 1, frame.width(), h);
}

void ZKYosemiteButtonCell::drawInteriorWithFrame(QPainter& painter, const QRectF& frame) const {
  if (title_.isEmpty()) return;
  painter.save();
  painter.setFont(font_);
  painter.setPen(currentTitleColor().isValid() ? currentTitleColor() : QColor(Qt::black));
  painter.drawText(titleRectForFrame(frame), Qt::AlignHCenter | Qt::AlignTop | Qt::TextSingleLine, title_);
  painter.restore();
}

// ---- Green ----
QColor ZKGreenYosemiteButtonCell::titleColor() const { return Qt::white; }
QColor ZKGreenYosemiteButtonCell::titleColorPressed() const { return Qt::white; }
QColor ZKGreenYosemiteButtonCell::strokeColor() const { return rgb(0.3608, 0.6627, 0.2549); }
QColor ZKGreenYosemiteButtonCell::strokeColorPressed() const { return rgb(0.2745, 0.502, 0.1882); }
std::optional<ZKGradient> ZKGreenYosemiteButtonCell::backgroundGradient() const {
  return ZKGradient{rgb(0.5373, 0.8627, 0.4235), rgb(0.3725, 0.6863, 0.2706)};
}
std::optional<ZKGradient> ZKGreenYosemiteButtonCell::backgroundGradientPressed() const {
  return ZKGradient{rgb(0.4745, 0.7608, 0.3725), rgb(0.3216, 0.5882, 0.2314)};
}

// ---- The flat styles ----
ZKTealYosemiteButtonCell::ZKTealYosemiteButtonCell()
    : ZKFlatYosemiteButtonCell(rgb(0.3922, 0.6706, 0.6431), rgb(0.2039, 0.6, 0.5608),
                               rgb(0.2039, 0.6, 0.5608), rgb(0.3922, 0.6706, 0.6431)) {}
ZKGrayYosemiteButtonCell::ZKGrayYosemiteButtonCell()
    : ZKFlatYosemiteButtonCell(rgb(0.6784, 0.698, 0.7294), rgb(0.6235, 0.6392, 0.6706),
                               rgb(0.4941, 0.5059, 0.5294), rgb(0.5843, 0.6039, 0.6314)) {}
ZKRedYosemiteButtonCell::ZKRedYosemiteButtonCell()
    : ZKFlatYosemiteButtonCell(rgb(0.898, 0, 0), rgb(0.8078, 0, 0), rgb(0.8078, 0, 0), rgb(0.898, 0, 0)) {}
ZKUpdatedBlueYosemiteButtonCell::ZKUpdatedBlueYosemiteButtonCell()
    : ZKFlatYosemiteButtonCell(rgb(0, 0.4941, 0.898), rgb(0, 0.4431, 0.8078), rgb(0, 0.4431, 0.8078),
                               rgb(0, 0.4941, 0.898)) {}

// ---- Normal and blue ----
QColor ZKNormalYosemiteButton::titleColor() const { return QColor::fromRgbF(0.15f, 0.15f, 0.15f, 1); }
QColor ZKNormalYosemiteButton::strokeColor() const { return rgb(0.7725, 0.7725, 0.7725); }
QColor ZKNormalYosemiteButton::strokeColorPressed() const { return rgb(0.1137, 0.451, 0.9961, 0.5); }
std::optional<ZKGradient> ZKNormalYosemiteButton::backgroundGradientPressed() const {
  return ZKGradient{rgb(0.4118, 0.698, 0.9922), rgb(0, 0.4784, 1)};
}

QColor ZKBlueYosemiteButtonCell::strokeColor() const { return rgb(0.1137, 0.451, 0.9961, 0.5); }
QColor ZKBlueYosemiteButtonCell::strokeColorPressed() const { return rgb(0.0353, 0.2588, 0.8784, 0.5); }
std::optional<ZKGradient> ZKBlueYosemiteButtonCell::backgroundGradient() const {
  return ZKGradient{rgb(0.4118, 0.698, 0.9922), rgb(0, 0.4784, 1)};
}
std::optional<ZKGradient> ZKBlueYosemiteButtonCell::backgroundGradientPressed() const {
  return ZKGradient{rgb(0.3176, 0.6078, 0.9843), rgb(0.0824, 0.4196, 0.8784)};
}
