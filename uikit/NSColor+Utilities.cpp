#include <QtCore/QRandomGenerator>

#include "platform/HexColor.h"
#include "uikit/NSColor+Utilities.h"

QColor zk_randomColor() {
  auto* random = QRandomGenerator::global();
  const double hue = (random->generate() % 360) / 360.0;
  const double saturation = (70 + random->generate() % 30) / 100.0;
  const double brightness = (70 + random->generate() % 30) / 100.0;
  return QColor::fromHsvF(static_cast<float>(hue), static_cast<float>(saturation),
                          static_cast<float>(brightness), 1.0f);
}

QColor zk_colorWithEasyHue(double hue, double saturation, double brightness, double alpha) {
  // Qt's hue runs 0...1 below a full turn; 360 degrees is the same red as 0.
  double h = hue / 360.0;
  if (h >= 1.0) h = 0.0;
  return QColor::fromHsvF(static_cast<float>(h), static_cast<float>(saturation / 100.0),
                          static_cast<float>(brightness / 100.0), static_cast<float>(alpha));
}

QColor zk_colorWithHexColorString(std::string_view text) {
  return zk_colorWithPlatformColor(platform::zk_colorWithHexColorString(text));
}

QColor zk_colorWithPlatformColor(const platform::Color& color) {
  return QColor::fromRgbF(static_cast<float>(color.red), static_cast<float>(color.green),
                          static_cast<float>(color.blue), static_cast<float>(color.alpha));
}

platform::Color zk_platformColor(const QColor& color) {
  const QColor rgb = color.toRgb();
  return platform::Color{rgb.redF(), rgb.greenF(), rgb.blueF(), rgb.alphaF()};
}
