#include "uikit/ZKMemoryFormatter.h"

#include <algorithm>
#include <cmath>

ZKMemoryFormatter::ZKMemoryFormatter()
    : unitStrings_{"bytes", "KB", "MB", "GB", "TB", "PB", "EB"}, unitStringsAbbr_{"b", "K", "M", "G",
                                                                                  "T", "P", "E"} {
  setLocale(QLocale());
}

void ZKMemoryFormatter::setLocale(const QLocale& locale) {
  locale_ = locale;
  locale_.setNumberOptions(QLocale::OmitGroupSeparator);
}

std::int64_t ZKMemoryFormatter::clampedUnit(std::int64_t unit) {
  return std::clamp<std::int64_t>(unit, 0, kUnitCount - 1);
}

QString ZKMemoryFormatter::unitName(std::int64_t unit) const {
  const QStringList& names = formatterStyle_ == 2 ? unitStringsAbbr_ : unitStrings_;
  if (names.isEmpty()) return QString();
  // A unit past the table (or a shorter table set by a caller) takes the last name.
  const auto index = std::clamp<std::int64_t>(unit, 0, names.size() - 1);
  return names.at(static_cast<qsizetype>(index));
}

double ZKMemoryFormatter::convertBytes(double bytes, std::int64_t toUnit) const {
  double value = bytes;
  for (std::int64_t step = 0; step < clampedUnit(toUnit); ++step) value /= byteUnit_;
  return value;
}

double ZKMemoryFormatter::convertValue(double value, std::int64_t fromUnit, std::int64_t toUnit) const {
  fromUnit = clampedUnit(fromUnit);
  toUnit = clampedUnit(toUnit);
  if (fromUnit == 0) return convertBytes(value, toUnit);
  return value * std::pow(byteUnit_, static_cast<double>(fromUnit - toUnit));
}

QStringList ZKMemoryFormatter::arrayFromBytes(double bytes) const {
  const std::int64_t minimum = clampedUnit(minimumUnit_);
  const std::int64_t maximum = clampedUnit(maximumUnit_);
  double value = convertBytes(bytes, minimum);
  std::int64_t unit = minimum;
  // The value is tested first: with minimum equal to maximum one step still happens for a large
  // value. A step of 1 or less would never end, so the unit bound stops it too.
  while (value >= byteUnit_) {
    value /= byteUnit_;
    ++unit;
    if (unit >= maximum) break;
  }
  QString number = value == 0 ? QStringLiteral("0.0") : locale_.toString(value, 'f', 2);
  return {number, unitName(unit)};
}

QString ZKMemoryFormatter::stringFromBytes(double bytes) const {
  const QStringList parts = arrayFromBytes(bytes);
  return parts.at(0) + QLatin1Char(' ') + parts.at(1);
}

QString ZKMemoryFormatter::stringFormat() const {
  QString format = showsDecimalNumbers_ ? QStringLiteral("%0.1f") : QStringLiteral("%0.0f");
  format += formatterStyle_ == 3 ? QStringLiteral("%@") : QStringLiteral(" %@");
  if (formatterStyle_ == 1) format += QStringLiteral("/s");
  return format;
}
