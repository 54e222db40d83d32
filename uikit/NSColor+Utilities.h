#pragma once

#include <QtGui/QColor>
#include <string_view>

#include "platform/Color.h"

// An opaque colour of random hue, with saturation and brightness each between 0.70 and 0.99.
QColor zk_randomColor();
// A colour from a hue in degrees and saturation and brightness in percent.
QColor zk_colorWithEasyHue(double hue, double saturation, double brightness, double alpha = 1.0);
// The colour a hexadecimal RGB text names ("#527908", "527908", "0x527908"), read by the engine's
// rules (platform::zk_colorWithHexColorString): unreadable text gives opaque black.
QColor zk_colorWithHexColorString(std::string_view text);

// The colours of the layers below (module results, group colours) as Qt colours, and back. Qt paints
// views and shapes with the same QColor, so these stand where layer colours were made.
QColor zk_colorWithPlatformColor(const platform::Color& color);
platform::Color zk_platformColor(const QColor& color);
