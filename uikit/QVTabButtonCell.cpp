#include "uikit/QVTabButtonCell.h"

#include "uikit/ZKTheme.h"
#include "uikit/ZKThemeManager.h"

namespace {
QColor rgb(double r, double g, double b) { return QColor::fromRgbF(float(r), float(g), float(b), 1.0f); }

// The current theme's colour for a key of its button colours; none while the theme has no such colours
// (the light theme), which keeps the tabs' own light look.
QColor themeButtonColor(const char* key) {
  auto& manager = ZKThemeManager::sharedManager();
  const ZKTheme* theme = manager.currentTheme();
  if (!theme || !theme->respondsToKey(QStringLiteral("buttonBackgroundColor"))) return QColor();
  const QString name = QString::fromLatin1(key);
  return theme->respondsToKey(name) ? manager.colorForKey(name) : QColor();
}
}  // namespace

QColor QVTabButtonCell::backgroundColor() const { return rgb(0.3647, 0.6118, 0.9608); }
QColor QVTabButtonCell::backgroundColorPressed() const { return rgb(0, 0.4431, 0.8078); }
QColor QVTabButtonCell::backgroundColorHovered() const { return rgb(0, 0.4941, 0.898); }
// A theme with button colours of its own (the dark one) shows unselected tabs as its buttons.
QColor QVTabButtonCell::disabledBackgroundColor() const {
  const QColor themed = themeButtonColor("buttonBackgroundColor");
  return themed.isValid() ? themed : QColor(Qt::white);
}
QColor QVTabButtonCell::disabledTitleColor() const {
  // On the theme's button colour the tab keeps its white title.
  return themeButtonColor("buttonBackgroundColor").isValid() ? titleColor() : rgb(0.302, 0.302, 0.302);
}
QColor QVTabButtonCell::disabledStrokeColor() const {
  const QColor themed = themeButtonColor("buttonStrokeColor");
  return themed.isValid() ? themed : rgb(0.749, 0.749, 0.749);
}

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
