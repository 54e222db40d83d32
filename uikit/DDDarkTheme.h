#pragma once

#include "uikit/DDLightTheme.h"

// The dark theme: the light theme's keys with 27 colours overridden and 16 keys of its own, from the
// resource "DDDarkTheme.json" laid over the light one. A value that refers to another key takes that
// key's dark value.
class DDDarkTheme : public DDLightTheme {
 public:
  DDDarkTheme();
  // A dark theme read from other resources (broken ones, in tests).
  static std::unique_ptr<DDDarkTheme> themeWithResources(const QString& lightResource,
                                                         const QString& darkResource);

  static DDDarkTheme* sharedTheme();

  QString themeName() const override { return QStringLiteral("Dark"); }

  static QString defaultResource() { return QStringLiteral(":/themes/DDDarkTheme.json"); }
  static const std::vector<ZKThemeKeyDeclaration>& darkKeys();

 private:
  DDDarkTheme(const QString& lightResource, const QString& darkResource);
};
