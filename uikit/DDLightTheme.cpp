#include "uikit/DDLightTheme.h"

#include <QtCore/QDir>
#include <QtGui/QFontDatabase>
#include <mutex>

#include "platform/Bundle.h"
#include "platform/Log.h"
#include "uikit/ZKFontFamilies.h"

namespace {

void activateFontsOnce() {
  static std::once_flag once;
  std::call_once(once, [] { DDLightTheme::activateFonts(); });
}

}  // namespace

const std::vector<ZKThemeKeyDeclaration>& DDLightTheme::lightKeys() {
  static const std::vector<ZKThemeKeyDeclaration> keys{
      {"windowColor", ZKThemeValueKind::Color},
      {"windowHeaderColor", ZKThemeValueKind::Color},
      {"windowHeaderSeparatorColor", ZKThemeValueKind::Color},
      {"textFont", ZKThemeValueKind::Font},
      {"boldTextFont", ZKThemeValueKind::Font},
      {"semiBoldTextFont", ZKThemeValueKind::Font},
      {"smallSemiBoldTextFont", ZKThemeValueKind::Font},
      {"textColor", ZKThemeValueKind::Color},
      {"settingsIconColor", ZKThemeValueKind::Color},
      {"deviceHeaderFont", ZKThemeValueKind::Font},
      {"deviceHeaderColor", ZKThemeValueKind::Color},
      {"deviceDropDownIndicatorColor", ZKThemeValueKind::Color},
      {"deviceHeaderBackgroundColor", ZKThemeValueKind::Color},
      {"deviceHeaderBorderColor", ZKThemeValueKind::Color},
      {"sidebarColor", ZKThemeValueKind::Color},
      {"sidebarTableTitleFont", ZKThemeValueKind::Font},
      {"sidebarTableSubtitleFont", ZKThemeValueKind::Font},
      {"sidebarTableTitleColor", ZKThemeValueKind::Color},
      {"sidebarTableSubtitleColor", ZKThemeValueKind::Color},
      {"progressIndicatorColor", ZKThemeValueKind::Color},
      {"sidebarTableImageColor", ZKThemeValueKind::Color},
      {"sidebarTableImageColorActive", ZKThemeValueKind::Color},
      {"sidebarTableSelectedBackgroundColor", ZKThemeValueKind::Color},
      {"switchBorderColor", ZKThemeValueKind::Color},
      {"sidebarDisabledTitleBackgroundColor", ZKThemeValueKind::Color},
      {"sidebarDisabledTitleColor", ZKThemeValueKind::Color},
      {"sidebarDisabledTitleFont", ZKThemeValueKind::Font},
      {"tableGroupFont", ZKThemeValueKind::Font},
      {"tableGroupColor", ZKThemeValueKind::Color},
      {"tableGroupHeaderColor", ZKThemeValueKind::Color},
      {"tableTitleFont", ZKThemeValueKind::Font},
      {"tableTitleColor", ZKThemeValueKind::Color},
      {"tableValueFont", ZKThemeValueKind::Font},
      {"tableValueColor", ZKThemeValueKind::Color},
      {"detailsTableTitleFont", ZKThemeValueKind::Font},
      {"detailsTableTitleColor", ZKThemeValueKind::Color},
      {"detailsTableSeparatorColor", ZKThemeValueKind::Color},
      {"detailsTableHeaderColor", ZKThemeValueKind::Color},
      {"detailsTableHeaderFont", ZKThemeValueKind::Font},
      {"detailTableSelectedBackgroundColor", ZKThemeValueKind::Color},
      {"detailsInfoIconColor", ZKThemeValueKind::Color},
      {"detailsInfoBackgroundColor", ZKThemeValueKind::Color},
      {"detailsInfoBorderColor", ZKThemeValueKind::Color},
      {"deleteIconColor", ZKThemeValueKind::Color},
      {"cautionColor", ZKThemeValueKind::Color},
      {"errorColor", ZKThemeValueKind::Color},
      {"popoverTitleFont", ZKThemeValueKind::Font},
      {"bottomToolbarLabelHeaderColor", ZKThemeValueKind::Color},
      {"bottomToolbarLabelHeaderFont", ZKThemeValueKind::Font},
      {"bottomToolbarLabelColor", ZKThemeValueKind::Color},
      {"bottomToolbarLabelFont", ZKThemeValueKind::Font},
      {"overlayWindowTitleFont", ZKThemeValueKind::Font},
      {"overlayWindowTitleColor", ZKThemeValueKind::Color},
      {"errorViewSubtitleFont", ZKThemeValueKind::Font},
      {"errorViewLabelFont", ZKThemeValueKind::Font},
      {"spaceLabelColor", ZKThemeValueKind::Color},
      {"diagnosticsTitleFont", ZKThemeValueKind::Font},
  };
  return keys;
}

DDLightTheme::DDLightTheme()
    : DDLightTheme(QStringLiteral("DDLightTheme"), {{defaultResource(), lightKeys()}}) {}

DDLightTheme::DDLightTheme(QString className, std::vector<ZKThemeLayer> layers)
    : ZKTheme(std::move(className), std::move(layers)) {
  activateFontsOnce();
}

std::unique_ptr<DDLightTheme> DDLightTheme::themeWithResource(const QString& lightResource) {
  return std::unique_ptr<DDLightTheme>(
      new DDLightTheme(QStringLiteral("DDLightTheme"), {{lightResource, lightKeys()}}));
}

DDLightTheme* DDLightTheme::sharedTheme() {
  return static_cast<DDLightTheme*>(ZKTheme::sharedTheme(QStringLiteral("DDLightTheme")));
}

void DDLightTheme::activateFonts() {
  const QDir folder(QString::fromStdString((platform::Bundle::main().resourcePath() / "fonts").string()));
  const QStringList files = folder.entryList({QStringLiteral("*.otf")}, QDir::Files, QDir::Name);
  if (files.isEmpty()) return;
  for (const QString& file : files) {
    if (QFontDatabase::addApplicationFont(folder.filePath(file)) < 0)
      platform::log("Theme: the font file {} could not be registered", folder.filePath(file).toStdString());
  }
  zk_resetInstalledFontFamilies();
}

std::optional<QFont> DDLightTheme::fontWithWeight(FontWeight weight, double size) const {
  const QString family = zk_installedFontFamily(baseFontName());
  if (family.isEmpty() || !(size > 0)) return std::nullopt;
  static constexpr QFont::Weight weights[] = {QFont::Normal, QFont::Medium, QFont::DemiBold, QFont::Bold};
  QFont font(family);
  font.setPixelSize(qMax(1, qRound(size)));
  font.setWeight(weights[static_cast<int>(weight)]);
  return font;
}

std::optional<QFont> DDLightTheme::fontOfSize(double size) const {
  return fontWithWeight(FontWeight::Regular, size);
}
std::optional<QFont> DDLightTheme::mediumFontOfSize(double size) const {
  return fontWithWeight(FontWeight::Medium, size);
}
std::optional<QFont> DDLightTheme::semiboldFontOfSize(double size) const {
  return fontWithWeight(FontWeight::Semibold, size);
}
std::optional<QFont> DDLightTheme::boldFontOfSize(double size) const {
  return fontWithWeight(FontWeight::Bold, size);
}
