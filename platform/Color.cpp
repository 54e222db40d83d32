#include "platform/Color.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "platform/Escaping.h"

namespace platform {

namespace {

int toByte(double component) {
  if (std::isnan(component)) return 0;
  return static_cast<int>(std::lround(std::clamp(component, 0.0, 1.0) * 255.0));
}

}  // namespace

std::optional<Color> Color::fromHexString(const std::string& text) {
  std::string digits = !text.empty() && text[0] == '#' ? text.substr(1) : text;
  if (digits.size() != 6 && digits.size() != 8) return std::nullopt;
  double parts[4] = {0, 0, 0, 1};
  for (std::size_t i = 0; i < digits.size() / 2; ++i) {
    int high = hexDigitValue(digits[2 * i]);
    int low = hexDigitValue(digits[2 * i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    parts[i] = (high * 16 + low) / 255.0;
  }
  return Color{parts[0], parts[1], parts[2], parts[3]};
}

std::string Color::hexString() const {
  char text[10];
  std::snprintf(text, sizeof text, "#%02X%02X%02X%02X", toByte(red), toByte(green), toByte(blue),
                toByte(alpha));
  return text;
}

}  // namespace platform
