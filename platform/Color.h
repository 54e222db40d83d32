#pragma once

#include <optional>
#include <string>

namespace platform {

// An RGBA colour in the device RGB space, each component a double in 0...1. Archived under the
// class name "NSColor" with its four components stored exactly.
struct Color {
  double red = 0;
  double green = 0;
  double blue = 0;
  double alpha = 1;

  static constexpr const char* kClassName = "NSColor";

  static Color colorWithDeviceRed(double red, double green, double blue, double alpha) {
    return Color{red, green, blue, alpha};
  }
  static Color clearColor() { return Color{0, 0, 0, 0}; }
  static Color blackColor() { return Color{0, 0, 0, 1}; }
  static Color whiteColor() { return Color{1, 1, 1, 1}; }

  // "#RRGGBB" or "#RRGGBBAA" (the "#" optional, either case); nullopt for anything else.
  static std::optional<Color> fromHexString(const std::string& text);
  // "#RRGGBBAA" in upper case, each component rounded to 8 bits.
  std::string hexString() const;

  bool operator==(const Color&) const = default;
};

}  // namespace platform
