#pragma once

#include "uikit/ZKTheme.h"

// The light theme: the kit's 57 keys, with values from the resource "DDLightTheme.json". Fonts are
// the design's text family ("SFProText") in four weights, stood in for by the nearest installed
// family; a design point is one device-independent pixel.
class DDLightTheme : public ZKTheme {
 public:
  DDLightTheme();
  // A light theme read from another resource (a broken one, in tests).
  static std::unique_ptr<DDLightTheme> themeWithResource(const QString& lightResource);

  static DDLightTheme* sharedTheme();

  QString themeName() const override { return QStringLiteral("Light"); }
  QString baseFontName() const { return QStringLiteral("SFProText"); }
  double baseFontSize() const override { return 13.0; }

  // The text family at that size in its regular, medium, semibold or bold weight; none when no
  // family stands in for it.
  std::optional<QFont> fontOfSize(double size) const;
  std::optional<QFont> mediumFontOfSize(double size) const;
  std::optional<QFont> semiboldFontOfSize(double size) const;
  std::optional<QFont> boldFontOfSize(double size) const;

  // Registers the application's own font files ("fonts/*.otf" in the resource folder) for this
  // process; runs once, from the first theme made.
  static void activateFonts();

  static QString defaultResource() { return QStringLiteral(":/themes/DDLightTheme.json"); }
  static const std::vector<ZKThemeKeyDeclaration>& lightKeys();

 protected:
  DDLightTheme(QString className, std::vector<ZKThemeLayer> layers);
  std::optional<QFont> fontWithWeight(FontWeight weight, double size) const override;
};
