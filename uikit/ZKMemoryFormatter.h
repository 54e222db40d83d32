#pragma once

#include <QtCore/QLocale>
#include <QtCore/QString>
#include <QtCore/QStringList>
#include <cstdint>

// Formats byte counts for people: "1.50 KB", "999.00 bytes", "0.0 bytes". The value is divided by the
// unit step (1000 by default) while it is at least one step and the unit is below the largest; the
// number has two fraction digits in the user's locale, without grouping.
class ZKMemoryFormatter {
 public:
  static constexpr std::int64_t kUnitCount = 7;

  ZKMemoryFormatter();

  bool showsDecimalNumbers() const { return showsDecimalNumbers_; }
  void setShowsDecimalNumbers(bool shows) { showsDecimalNumbers_ = shows; }
  // Unit indexes run from 0 (bytes) to 6 (EB); values outside are clamped where they are used.
  std::int64_t minimumUnit() const { return minimumUnit_; }
  void setMinimumUnit(std::int64_t unit) { minimumUnit_ = unit; }
  std::int64_t maximumUnit() const { return maximumUnit_; }
  void setMaximumUnit(std::int64_t unit) { maximumUnit_ = unit; }
  // 0 plain, 1 per second ("/s"), 2 abbreviated unit names, 3 no blank before the unit.
  std::int64_t formatterStyle() const { return formatterStyle_; }
  void setFormatterStyle(std::int64_t style) { formatterStyle_ = style; }
  double byteUnit() const { return byteUnit_; }
  void setByteUnit(double unit) { byteUnit_ = unit; }
  const QStringList& unitStrings() const { return unitStrings_; }
  void setUnitStrings(QStringList strings) { unitStrings_ = std::move(strings); }
  const QStringList& unitStringsAbbr() const { return unitStringsAbbr_; }
  void setUnitStringsAbbr(QStringList strings) { unitStringsAbbr_ = std::move(strings); }
  // The locale of the number text (the user's by default).
  const QLocale& locale() const { return locale_; }
  void setLocale(const QLocale& locale);

  // [number text, unit name].
  QStringList arrayFromBytes(double bytes) const;
  // "<number> <unit>".
  QString stringFromBytes(double bytes) const;
  // A printf format for a number and a unit: "%0.1f %@", "%0.0f%@", "%0.1f %@/s"...
  QString stringFormat() const;
  // The bytes in the unit of that index (divided once per step).
  double convertBytes(double bytes, std::int64_t toUnit) const;
  // A value from one unit to another.
  double convertValue(double value, std::int64_t fromUnit, std::int64_t toUnit) const;

 private:
  static std::int64_t clampedUnit(std::int64_t unit);
  QString unitName(std::int64_t unit) const;

  bool showsDecimalNumbers_ = true;
  std::int64_t minimumUnit_ = 0;
  std::int64_t maximumUnit_ = 6;
  std::int64_t formatterStyle_ = 0;
  double byteUnit_ = 1000.0;
  QStringList unitStrings_;
  QStringList unitStringsAbbr_;
  QLocale locale_;
};
