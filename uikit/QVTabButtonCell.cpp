#include "uikit/QVTabButtonCell.h"

namespace {
QColor rgb(double r, double g, double b) { return QColor::fromRgbF(float(r), float(g), float(b), 1.0f); }
}  // namespace

QColor QVTabButtonCell::backgroundColor() const { return rgb(0.3647, 0.6118, 0.9608); }
QColor QVTabButtonCell::backgroundColorPressed() const { return rgb(0, 0.4431, 0.8078); }
QColor QVTabButtonCell::backgroundColorHovered() const { return rgb(0, 0.4941, 0.898); }
QColor QVTabButtonCell::disabledTitleColor() const { return rgb(0.302, 0.302, 0.302); }
QColor QVTabButtonCell::disabledStrokeColor() const { return rgb(0.749, 0.749, 0.749); }

ZKYosemiteButtonCell::Bezel QVTabButtonCell::bezel() const {
  QColor stroke = strokeColor(), fill = backgroundColor();
  std::optional<ZKGradient> gradient = backgroundGradient();
  if (hovered() && isEnabled()) {
    stroke = strokeColorHovered();
    fill = backgroundColorHovered();
    gradient = backgroundGradientHovered();
  }
  if (mouseDown() && isEnabled()) {
    stroke = strokeColorPressed();
    fill = backgroundColorPressed();
    gradient = backgroundGradientPressed();
  }
  if (showsUnselectedLook()) {
    stroke = disabledStrokeColor();
    fill = disabledBackgroundColor();
  }
  return completeBezel(stroke, fill, gradient);
}

QColor QVTabButtonCell::currentTitleColor() const {
  QColor color = mouseDown() && isEnabled() ? titleColorPressed() : titleColor();
  if (showsUnselectedLook() && disabledTitleColor().isValid()) color = disabledTitleColor();
  return color;
}

QColor QVGreenTabButtonCell::backgroundColorPressed() const { return rgb(0.1882, 0.6784, 0.3843); }
QColor QVGreenTabButtonCell::backgroundColorHovered() const { return rgb(0.1882, 0.6784, 0.3843); }
QColor QVRedTabButtonCell::backgroundColorPressed() const { return rgb(0.898, 0.302, 0.2588); }
QColor QVRedTabButtonCell::backgroundColorHovered() const { return rgb(0.898, 0.302, 0.2588); }
