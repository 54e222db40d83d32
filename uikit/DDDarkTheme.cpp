#include "uikit/DDDarkTheme.h"

const std::vector<ZKThemeKeyDeclaration>& DDDarkTheme::darkKeys() {
  static const std::vector<ZKThemeKeyDeclaration> keys{
      {"tableHeaderSeparatorColor", ZKThemeValueKind::Color},
      {"titleHeaderColor", ZKThemeValueKind::Color},
      {"popoverBackgroundColor", ZKThemeValueKind::Color},
      {"popoverTitleColor", ZKThemeValueKind::Color},
      {"popoverTextColor", ZKThemeValueKind::Color},
      {"progressBackgroundColor", ZKThemeValueKind::Color},
      {"progressFillColor", ZKThemeValueKind::Color},
      {"helpIconImage", ZKThemeValueKind::Image},
      {"helpIconAlternateImage", ZKThemeValueKind::Image},
      {"settingsIconImage", ZKThemeValueKind::Image},
      {"settingsIconAlternateImage", ZKThemeValueKind::Image},
      {"buttonBackgroundColor", ZKThemeValueKind::Color},
      {"buttonBackgroundColorPressed", ZKThemeValueKind::Color},
      {"buttonStrokeColor", ZKThemeValueKind::Color},
      {"buttonStrokeColorPressed", ZKThemeValueKind::Color},
      {"spinningProgressColor", ZKThemeValueKind::Color},
  };
  return keys;
}

DDDarkTheme::DDDarkTheme() : DDDarkTheme(DDLightTheme::defaultResource(), defaultResource()) {}

DDDarkTheme::DDDarkTheme(const QString& lightResource, const QString& darkResource)
    : DDLightTheme(QStringLiteral("DDDarkTheme"),
                   {{lightResource, lightKeys()}, {darkResource, darkKeys()}}) {}

std::unique_ptr<DDDarkTheme> DDDarkTheme::themeWithResources(const QString& lightResource,
                                                             const QString& darkResource) {
  return std::unique_ptr<DDDarkTheme>(new DDDarkTheme(lightResource, darkResource));
}

DDDarkTheme* DDDarkTheme::sharedTheme() {
  return static_cast<DDDarkTheme*>(ZKTheme::sharedTheme(QStringLiteral("DDDarkTheme")));
}
