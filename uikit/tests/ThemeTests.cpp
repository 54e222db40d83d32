// The theme manager and the light and dark themes: every key of both themes against the design's
// values, derived keys, camel-cased spellings, the cache, the rules of changing themes, and themes
// read from broken resources.
#include <gtest/gtest.h>

#include <QtCore/QFile>
#include <QtCore/QStringList>
#include <QtCore/QTemporaryDir>
#include <QtWidgets/QApplication>
#include <QtWidgets/QLabel>
#include <QtWidgets/QMenu>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QToolTip>
#include <optional>
#include <string>
#include <vector>

#include "platform/NotificationCenter.h"
#include "platform/desktop/testing/GuiTest.h"
#include "uikit/BHThemableWindow.h"
#include "uikit/DDDarkTheme.h"
#include "uikit/DDLightTheme.h"
#include "uikit/NSString+Inflections.h"
#include "uikit/ZKApplicationFont.h"
#include "uikit/ZKFontFamilies.h"
#include "uikit/ZKThemableView.h"
#include "uikit/ZKThemeManager.h"

namespace {

using qvtesting::LogCapture;

// Lines about the key: `key "<key>"` or the lookup's "key: <key>".
int linesNaming(const LogCapture& log, const std::string& key) {
  int count = 0;
  for (const std::string& line : log.lines())
    if (line.find("key \"" + key + "\"") != std::string::npos || line.ends_with("key: " + key)) ++count;
  return count;
}

// The design's notation: "rgb r g b", "rgba r g b a", "white w a", "font <weight> <size>", "image <name>",
// "none".
struct KeyCase {
  const char* key;
  const char* light;
  const char* dark;
};

const KeyCase kKeyTable[] = {
    {"windowColor", "white 1 1", "rgb 0.2 0.2196 0.2431"},
    {"windowHeaderColor", "rgb 0.9804 0.9804 0.9804", "rgb 0.1373 0.1608 0.1882"},
    {"windowHeaderSeparatorColor", "rgb 0.7569 0.7608 0.7647", "rgb 0.3059 0.3333 0.3647"},
    {"textFont", "font regular 13", "font regular 13"},
    {"boldTextFont", "font medium 13", "font medium 13"},
    {"semiBoldTextFont", "font semibold 13", "font semibold 13"},
    {"smallSemiBoldTextFont", "font semibold 12", "font semibold 12"},
    {"textColor", "rgb 0.2235 0.2392 0.2549", "white 1.0 0.85"},
    {"settingsIconColor", "rgb 0.498 0.498 0.498", "rgb 0.3608 0.4196 0.4667"},
    {"deviceHeaderFont", "font medium 14", "font medium 14"},
    {"deviceHeaderColor", "rgb 0.0784 0.0824 0.0902", "white 1.0 0.85"},
    {"deviceDropDownIndicatorColor", "rgb 0.0784 0.0824 0.0902", "white 1.0 0.85"},
    {"deviceHeaderBackgroundColor", "white 1 1", "rgb 0.1373 0.1608 0.1882"},
    {"deviceHeaderBorderColor", "rgb 0.7608 0.7725 0.7843", "rgb 0.1373 0.1608 0.1882"},
    {"sidebarColor", "rgb 0.9725 0.9804 0.9804", "rgb 0.1647 0.1804 0.2"},
    {"sidebarTableTitleFont", "font regular 13", "font regular 13"},
    {"sidebarTableSubtitleFont", "font regular 11", "font regular 11"},
    {"sidebarTableTitleColor", "rgb 0.2314 0.2471 0.2588", "white 1 1"},
    {"sidebarTableSubtitleColor", "rgba 0.2314 0.2471 0.2588 0.8", "white 1.0 0.7"},
    {"progressIndicatorColor", "rgb 0.3647 0.3647 0.3843", "white 1.0 0.85"},
    {"sidebarTableImageColor", "rgb 0.3647 0.3647 0.3843", "white 1.0 0.85"},
    {"sidebarTableImageColorActive", "white 1 1", "white 1 1"},
    {"sidebarTableSelectedBackgroundColor", "rgb 0.8235 0.8902 0.9922", "rgb 0.0784 0.498 0.8784"},
    {"switchBorderColor", "white 0.0 0.3", "white 1.0 0.5"},
    {"sidebarDisabledTitleBackgroundColor", "rgb 0.8549 0.9137 0.9373", "rgb 0.1373 0.149 0.1725"},
    {"sidebarDisabledTitleColor", "rgb 0.2235 0.2392 0.2549", "rgb 0.4235 0.4667 0.5137"},
    {"sidebarDisabledTitleFont", "font medium 13", "font medium 13"},
    {"tableGroupFont", "font bold 14", "font bold 14"},
    {"tableGroupColor", "white 0 1", "white 1 1"},
    {"tableGroupHeaderColor", "rgb 0.9176 0.9333 0.9569", "rgb 0.1569 0.1882 0.2196"},
    {"tableTitleFont", "font regular 13", "font regular 13"},
    {"tableTitleColor", "white 0 1", "white 1.0 0.85"},
    {"tableValueFont", "font semibold 13", "font semibold 13"},
    {"tableValueColor", "white 0 1", "white 1.0 1.0"},
    {"detailsTableTitleFont", "font regular 13", "font regular 13"},
    {"detailsTableTitleColor", "rgb 0.2235 0.2392 0.2549", "white 1.0 0.85"},
    {"detailsTableSeparatorColor", "rgb 0.9294 0.9294 0.9294", "rgb 0.3059 0.3333 0.3647"},
    {"detailsTableHeaderColor", "rgb 0.2588 0.2588 0.2588", "white 1.0 0.9"},
    {"detailsTableHeaderFont", "font medium 14", "font medium 14"},
    {"detailTableSelectedBackgroundColor", "rgb 0.9647 0.9843 1.0", "rgb 0.9647 0.9843 1.0"},
    {"detailsInfoIconColor", "rgb 0.2 0.6196 0.9647", "rgb 0.2 0.6196 0.9647"},
    {"detailsInfoBackgroundColor", "rgb 0.9647 0.9843 1.0", "rgba 0.1373 0.1608 0.1882 0.5"},
    {"detailsInfoBorderColor", "rgb 0.8667 0.9294 0.9843", "rgba 0.1373 0.1608 0.1882 0.7"},
    {"deleteIconColor", "rgb 0.9569 0.2784 0.2784", "rgb 0.9569 0.2784 0.2784"},
    {"cautionColor", "rgb 0.949 0.8078 0.0", "rgb 0.949 0.8078 0.0"},
    {"errorColor", "rgb 0.8118 0.1216 0.1451", "rgb 0.8118 0.1216 0.1451"},
    {"popoverTitleFont", "font regular 13", "font regular 13"},
    {"bottomToolbarLabelHeaderColor", "rgb 0.2235 0.2392 0.2549", "white 1.0 0.85"},
    {"bottomToolbarLabelHeaderFont", "font medium 14", "font medium 14"},
    {"bottomToolbarLabelColor", "rgb 0.2235 0.2392 0.2549", "white 1.0 0.85"},
    {"bottomToolbarLabelFont", "font regular 14", "font regular 14"},
    {"overlayWindowTitleFont", "font semibold 18", "font semibold 18"},
    {"overlayWindowTitleColor", "rgb 0.1686 0.4824 0.7961", "rgb 0.1686 0.4824 0.7961"},
    {"errorViewSubtitleFont", "font regular 12", "font regular 12"},
    {"errorViewLabelFont", "font medium 13", "font medium 13"},
    {"spaceLabelColor", "rgb 0.0 0.4627 0.8431", "rgb 0.2 0.6196 0.9647"},
    {"diagnosticsTitleFont", "font medium 18", "font medium 18"},
    {"tableHeaderSeparatorColor", "none", "rgb 0.3059 0.3333 0.3647"},
    {"titleHeaderColor", "none", "rgb 0.2784 0.7333 0.9608"},
    {"popoverBackgroundColor", "none", "rgb 0.2 0.2196 0.2431"},
    {"popoverTitleColor", "none", "white 1 1"},
    {"popoverTextColor", "none", "rgb 0.5529 0.5725 0.5961"},
    {"progressBackgroundColor", "none", "white 1.0 0.1"},
    {"progressFillColor", "none", "rgb 0.3647 0.6118 0.9608"},
    {"helpIconImage", "none", "image icon-help-dark"},
    {"helpIconAlternateImage", "none", "image icon-help-dark-active"},
    {"settingsIconImage", "none", "image icon-settings-dark"},
    {"settingsIconAlternateImage", "none", "image icon-settings-dark-active"},
    {"buttonBackgroundColor", "none", "rgb 0.3608 0.4196 0.4667"},
    {"buttonBackgroundColorPressed", "none", "rgb 0.2863 0.3333 0.3686"},
    {"buttonStrokeColor", "none", "white 0 0"},
    {"buttonStrokeColorPressed", "none", "white 0 0"},
    {"spinningProgressColor", "none", "white 1 1"},
};

QColor expectedColor(const QStringList& parts) {
  if (parts[0] == u"rgb")
    return QColor::fromRgbF(parts[1].toFloat(), parts[2].toFloat(), parts[3].toFloat(), 1.0f);
  if (parts[0] == u"rgba")
    return QColor::fromRgbF(parts[1].toFloat(), parts[2].toFloat(), parts[3].toFloat(), parts[4].toFloat());
  return QColor::fromRgbF(parts[1].toFloat(), parts[1].toFloat(), parts[1].toFloat(), parts[2].toFloat());
}

bool sameColor(const QColor& a, const QColor& b) {
  float ar, ag, ab, aa, br, bg, bb, ba;
  a.getRgbF(&ar, &ag, &ab, &aa);
  b.getRgbF(&br, &bg, &bb, &ba);
  const float e = 1.0f / 1000.0f;
  return std::abs(ar - br) < e && std::abs(ag - bg) < e && std::abs(ab - bb) < e && std::abs(aa - ba) < e;
}

std::string describe(const QColor& c) {
  return c.isValid() ? c.name(QColor::HexArgb).toStdString() + " (" + std::to_string(c.redF()) + ", " +
                           std::to_string(c.greenF()) + ", " + std::to_string(c.blueF()) + ", " +
                           std::to_string(c.alphaF()) + ")"
                     : "no colour";
}

// Checks what the manager answers for one key against the design's notation.
void expectValue(ZKThemeManager& manager, const QString& key, const QString& expected, const char* theme) {
  SCOPED_TRACE(std::string(theme) + " " + key.toStdString() + " = " + expected.toStdString());
  const QStringList parts = expected.split(u' ');
  if (parts[0] == u"none") {
    EXPECT_FALSE(manager.objectForKey(key).isValid());
    return;
  }
  if (parts[0] == u"font") {
    static const QHash<QString, int> weights{{"regular", QFont::Normal},
                                             {"medium", QFont::Medium},
                                             {"semibold", QFont::DemiBold},
                                             {"bold", QFont::Bold}};
    const auto font = manager.fontForKey(key);
    ASSERT_TRUE(font.has_value());
    EXPECT_EQ(font->family(), zk_installedFontFamily(QStringLiteral("SFProText")));
    EXPECT_EQ(font->pixelSize(), parts[2].toInt());
    EXPECT_EQ(font->weight(), weights.value(parts[1]));
    EXPECT_FALSE(manager.colorForKey(key).isValid()) << "a font is no colour";
    return;
  }
  if (parts[0] == u"image") {
    const QImage image = manager.imageForKey(key);
    EXPECT_FALSE(image.isNull());
    EXPECT_FALSE(manager.colorForKey(key).isValid());
    return;
  }
  const QColor color = manager.colorForKey(key);
  EXPECT_TRUE(sameColor(color, expectedColor(parts))) << describe(color);
  EXPECT_FALSE(manager.fontForKey(key).has_value()) << "a colour is no font";
}

class ThemeTest : public qvtesting::GuiTest {
 protected:
  void SetUp() override {
    GuiTest::SetUp();
    ZKThemeManager::sharedManager().changeTheme(QStringLiteral("DDLightTheme"));
  }
  void TearDown() override {
    ZKThemeManager::sharedManager().changeTheme(QStringLiteral("DDLightTheme"));
    GuiTest::TearDown();
  }

  // Notifications of theme changes posted by `manager` while the test runs.
  int notificationsFrom(const ZKThemeManager* manager) {
    if (!observer_)
      observer_ = std::make_unique<platform::ObserverToken>(
          platform::NotificationCenter::defaultCenter().addObserverForName(
              ZKThemeManagerNotificationThemeDidUpdate, manager, [this](const platform::Notification& n) {
                ++notifications_;
                EXPECT_EQ(n.sender, std::any_cast<ZKThemeManager*>(n.object));
              }));
    return notifications_;
  }

  // A resource file in the sandbox with that text.
  QString resource(const std::string& name, const std::string& text) {
    const std::filesystem::path path = root() / name;
    QFile file(QString::fromStdString(path.string()));
    EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(QByteArray::fromStdString(text));
    return file.fileName();
  }

  std::unique_ptr<platform::ObserverToken> observer_;
  int notifications_ = 0;
};

TEST_F(ThemeTest, EveryKeyOfBothThemesHasTheDesignsValue) {
  ZKThemeManager manager;
  ASSERT_TRUE(manager.changeTheme(QStringLiteral("DDLightTheme")));
  EXPECT_EQ(manager.currentTheme()->themeName(), QStringLiteral("Light"));
  EXPECT_EQ(manager.currentTheme()->declaredKeys().size(), 57);
  for (const KeyCase& row : kKeyTable)
    expectValue(manager, QString::fromUtf8(row.key), QString::fromUtf8(row.light), "light");
  ASSERT_TRUE(manager.changeTheme(QStringLiteral("DDDarkTheme")));
  EXPECT_EQ(manager.currentTheme()->themeName(), QStringLiteral("Dark"));
  EXPECT_EQ(manager.currentTheme()->declaredKeys().size(), 73);
  for (const KeyCase& row : kKeyTable)
    expectValue(manager, QString::fromUtf8(row.key), QString::fromUtf8(row.dark), "dark");
}

TEST_F(ThemeTest, TheShippedResourcesReadWithoutAComplaint) {
  std::optional<LogCapture> log(std::in_place);
  const auto light = DDLightTheme::themeWithResource(DDLightTheme::defaultResource());
  const auto dark =
      DDDarkTheme::themeWithResources(DDLightTheme::defaultResource(), DDDarkTheme::defaultResource());
  EXPECT_TRUE(log->lines().empty()) << (log->lines().empty() ? "" : log->lines().front());
  // Fonts the design names stand in for installed families; its emoji family is Noto Color Emoji.
  EXPECT_FALSE(zk_installedFontFamily(QStringLiteral("SFProText")).isEmpty());
  EXPECT_EQ(zk_installedFontFamily(QStringLiteral("Apple Color Emoji")), QStringLiteral("Noto Color Emoji"));
  EXPECT_EQ(zk_installedFontFamily(QStringLiteral("DejaVu Sans")), QStringLiteral("DejaVu Sans"));
  EXPECT_TRUE(zk_installedFontFamily(QStringLiteral("No Such Family Anywhere")).isEmpty());
  const auto semibold = static_cast<const DDLightTheme&>(*light).semiboldFontOfSize(12);
  ASSERT_TRUE(semibold.has_value());
  EXPECT_EQ(semibold->weight(), QFont::DemiBold);
}

TEST_F(ThemeTest, SharedThemesAreOnePerClass) {
  EXPECT_EQ(ZKTheme::sharedTheme(QStringLiteral("DDLightTheme")), DDLightTheme::sharedTheme());
  EXPECT_EQ(DDLightTheme::sharedTheme(), DDLightTheme::sharedTheme());
  EXPECT_NE(static_cast<ZKTheme*>(DDLightTheme::sharedTheme()),
            static_cast<ZKTheme*>(DDDarkTheme::sharedTheme()));
  EXPECT_EQ(ZKTheme::sharedTheme(QStringLiteral("NoSuchTheme")), nullptr);
  EXPECT_EQ(ZKTheme::sharedTheme(QStringLiteral("ZKThemeManager")), nullptr);
}

TEST_F(ThemeTest, CamelCasing) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"table-value-color", "tableValueColor"},
      {"table_value_color", "tableValueColor"},
      {"table-value_color", "tableValueColor"},
      {"tableValueColor", "tableValueColor"},
      {"details-InfoIcon-color", "detailsInfoiconColor"},  // later components lose inner capitals
      {"Table-value", "TableValue"},                       // the first keeps its case
      {"-leading", "Leading"},                             // an empty first component
      {"two--separators", "twoSeparators"},
      {"trailing-", "trailing"},
      {"words-in a-component", "wordsIn AComponent"},
      {"", ""},
      {"-", ""},
      {"émoji-ÉTÉ", "émojiÉté"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(zk_camelCaseString(QString::fromUtf8(c.in)).toStdString(), c.out) << c.in;
}

TEST_F(ThemeTest, SpellingsOfAKeyAnswerAlikeAndAreCachedApart) {
  ZKThemeManager manager;
  manager.changeTheme(QStringLiteral("DDLightTheme"));
  std::optional<LogCapture> log(std::in_place);
  const QColor camel = manager.colorForKey(QStringLiteral("tableValueColor"));
  EXPECT_EQ(manager.colorForKey(QStringLiteral("table-value-color")), camel);
  EXPECT_EQ(manager.colorForKey(QStringLiteral("table_value_color")), camel);
  EXPECT_EQ(camel, QColor(Qt::black));
  EXPECT_EQ(manager.cachedObjectCount(), 3);
  EXPECT_TRUE(log->lines().empty());
  // A hit answers from the cache without asking the theme again.
  manager.colorForKey(QStringLiteral("table-value-color"));
  EXPECT_EQ(manager.cachedObjectCount(), 3);
}

TEST_F(ThemeTest, MissingKeysAnswerNothingLogEveryLookupAndAreNotCached) {
  ZKThemeManager manager;
  EXPECT_FALSE(manager.colorForKey(QStringLiteral("windowColor")).isValid()) << "no theme yet";
  manager.changeTheme(QStringLiteral("DDLightTheme"));
  std::optional<LogCapture> log(std::in_place);
  for (const char* spelling : {"popoverBackgroundColor", "popover-background-color"}) {
    log.emplace();
    EXPECT_FALSE(manager.colorForKey(QString::fromUtf8(spelling)).isValid());
    EXPECT_FALSE(manager.colorForKey(QString::fromUtf8(spelling)).isValid());
    ASSERT_EQ(log->lines().size(), 2u) << spelling;
    EXPECT_TRUE(log->lines()[0].ends_with(
        "[DEBUG] DDLightTheme could not find value for key: popoverBackgroundColor"))
        << log->lines()[0];
  }
  EXPECT_EQ(manager.cachedObjectCount(), 0);
  // A value of another kind is nothing for the typed lookup, and a font answers the font lookup.
  EXPECT_FALSE(manager.colorForKey(QStringLiteral("textFont")).isValid());
  EXPECT_TRUE(manager.imageForKey(QStringLiteral("windowColor")).isNull());
  EXPECT_FALSE(manager.arrayForKey(QStringLiteral("windowColor")).has_value());
  EXPECT_FALSE(manager.dictionaryForKey(QStringLiteral("windowColor")).has_value());
  EXPECT_TRUE(manager.fontForKey(QStringLiteral("textFont")).has_value());
  // The dark theme's own keys.
  manager.changeTheme(QStringLiteral("DDDarkTheme"));
  EXPECT_EQ(manager.colorForKey(QStringLiteral("popover-background-color")),
            manager.colorForKey(QStringLiteral("windowColor")));
  EXPECT_FALSE(manager.imageForKey(QStringLiteral("settingsIconAlternateImage")).isNull());
}

TEST_F(ThemeTest, ChangingTheme) {
  ZKThemeManager manager;
  EXPECT_TRUE(manager.currentThemeName().isNull());
  EXPECT_EQ(manager.currentTheme(), nullptr);
  int seen = notificationsFrom(&manager);

  EXPECT_TRUE(manager.changeTheme(QStringLiteral("DDLightTheme")));
  EXPECT_EQ(notificationsFrom(&manager), ++seen);
  EXPECT_EQ(manager.currentTheme(), DDLightTheme::sharedTheme());
  EXPECT_EQ(manager.colorForKey(QStringLiteral("windowColor")), QColor(Qt::white));
  EXPECT_EQ(manager.cachedObjectCount(), 1);

  // The current name again: nothing happens.
  EXPECT_TRUE(manager.changeTheme(QStringLiteral("DDLightTheme")));
  EXPECT_EQ(notificationsFrom(&manager), seen);
  EXPECT_EQ(manager.cachedObjectCount(), 1);

  // A real change empties the cache and tells once; observers ran before it returned.
  EXPECT_TRUE(manager.changeTheme(QStringLiteral("DDDarkTheme")));
  EXPECT_EQ(notificationsFrom(&manager), ++seen);
  EXPECT_EQ(manager.cachedObjectCount(), 0);
  EXPECT_TRUE(sameColor(manager.colorForKey(QStringLiteral("windowColor")),
                        QColor::fromRgbF(0.2f, 0.2196f, 0.2431f)));

  // A name of no theme class: false, told anyway, the previous theme keeps answering.
  EXPECT_FALSE(manager.changeTheme(QStringLiteral("NoSuchTheme")));
  EXPECT_EQ(notificationsFrom(&manager), ++seen);
  EXPECT_EQ(manager.currentThemeName(), QStringLiteral("NoSuchTheme"));
  EXPECT_EQ(manager.currentTheme(), DDDarkTheme::sharedTheme());
  EXPECT_EQ(manager.cachedObjectCount(), 0);
  EXPECT_TRUE(sameColor(manager.colorForKey(QStringLiteral("windowColor")),
                        QColor::fromRgbF(0.2f, 0.2196f, 0.2431f)));
  // ... and that name is now current.
  EXPECT_TRUE(manager.changeTheme(QStringLiteral("NoSuchTheme")));
  EXPECT_EQ(notificationsFrom(&manager), seen);

  // Registration plays no part in changing.
  manager.registerTheme(DDLightTheme::sharedTheme());
  manager.registerTheme(DDDarkTheme::sharedTheme());
  ASSERT_EQ(manager.registeredThemes().size(), 2u);
  EXPECT_EQ(manager.registeredThemes()[0], DDLightTheme::sharedTheme());
}

// A resource that is broken in one way, and the key its one log line must name.
struct BrokenCase {
  const char* name;
  const char* lightEdit;  // replaces the light resource's line of `key` (nullptr: drops the line)
  const char* darkEdit;   // replaces the dark resource's line of `key`, when not null
  const char* key;
  const char* expectLight;  // what the light theme answers for `key` then
  const char* expectDark;
};

const BrokenCase kBrokenCases[] = {
    {"missing in the light theme", nullptr, nullptr, "textColor", "none", "white 1 0.85"},
    {"unparsable colour", "\"windowColor\": \"#GG0000\",", nullptr, "windowColor", "none",
     "rgb 0.2 0.2196 0.2431"},
    {"component beyond 1", "\"windowColor\": {\"rgb\": [2, 0, 0]},", nullptr, "windowColor", "none",
     "rgb 0.2 0.2196 0.2431"},
    {"font where a colour belongs", "\"windowColor\": {\"weight\": \"regular\", \"size\": 13},", nullptr,
     "windowColor", "none", "rgb 0.2 0.2196 0.2431"},
    {"colour where a font belongs", "\"textFont\": \"white\",", nullptr, "textFont", "none", "none"},
    {"number where a colour belongs", "\"cautionColor\": 7,", nullptr, "cautionColor", "none", "none"},
    {"unknown weight", "\"tableGroupFont\": {\"weight\": \"heavy\", \"size\": 14},", nullptr,
     "tableGroupFont", "none", "none"},
    {"dark override unparsable", nullptr, "\"windowColor\": \"dark grey\",", "windowColor", "white 1 1",
     "white 1 1"},
    {"dark reference to a font", nullptr, "\"windowColor\": {\"ref\": \"textFont\"},", "windowColor",
     "white 1 1", "white 1 1"},
    {"reference round to itself", "\"deviceHeaderColor\": {\"ref\": \"deviceDropDownIndicatorColor\"},",
     nullptr, "deviceHeaderColor", "none", "white 1.0 0.85"},
    {"dark key of its own missing", nullptr, "", "popoverTitleColor", "none", "none"},
};

class BrokenThemeResourceTest : public ThemeTest, public ::testing::WithParamInterface<BrokenCase> {
 protected:
  // The shipped resource with the line of `key` replaced (or dropped).
  std::string edited(const QString& shipped, const char* key, const char* replacement, bool drop) {
    QFile file(shipped);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly));
    std::string out;
    for (const QByteArray& line : file.readAll().split('\n')) {
      if (line.trimmed().startsWith("\"" + QByteArray(key) + "\"") && (replacement || drop)) {
        if (replacement && *replacement) out += std::string(replacement) + "\n";
        continue;
      }
      out += line.toStdString() + "\n";
    }
    return out;
  }
};

TEST_P(BrokenThemeResourceTest, GivesTheFallbackAndOneLineNamingTheKey) {
  const BrokenCase& c = GetParam();
  const bool lightChanged = c.lightEdit || !c.darkEdit;
  const QString light =
      resource("light.json", edited(DDLightTheme::defaultResource(), c.key, c.lightEdit, lightChanged));
  const QString dark =
      resource("dark.json", edited(DDDarkTheme::defaultResource(), c.key, c.darkEdit, c.darkEdit != nullptr));
  std::optional<LogCapture> log(std::in_place);
  const auto lightTheme = DDLightTheme::themeWithResource(light);
  if (lightChanged) {
    EXPECT_EQ(linesNaming(*log, c.key), 1) << (log->lines().empty() ? "" : log->lines().front());
  }
  log.emplace();
  const auto darkTheme = DDDarkTheme::themeWithResources(light, dark);
  if (c.darkEdit) {
    EXPECT_EQ(linesNaming(*log, c.key), 1);
  }
  EXPECT_LE(linesNaming(*log, c.key), 2);  // the light layer's problem once more, the dark layer's once

  // Answers through a manager, as views ask.
  ZKTheme::registerThemeClass(QStringLiteral("BrokenLight"),
                              [light] { return DDLightTheme::themeWithResource(light); });
  ZKTheme::registerThemeClass(QStringLiteral("BrokenDark"),
                              [light, dark] { return DDDarkTheme::themeWithResources(light, dark); });
  const QString key = QString::fromUtf8(c.key);
  ZKThemeManager manager;
  EXPECT_EQ(lightTheme->valueForKey(key).isValid(), std::string(c.expectLight) != "none");
  EXPECT_EQ(darkTheme->valueForKey(key).isValid(), std::string(c.expectDark) != "none");
  // A declared key without a value answers nothing without another log line.
  if (lightTheme->respondsToKey(key)) {
    log.emplace();
    EXPECT_EQ(lightTheme->valueForKey(key).isValid(), std::string(c.expectLight) != "none");
    EXPECT_EQ(linesNaming(*log, c.key), 0);
  }
  (void)manager;
}

INSTANTIATE_TEST_SUITE_P(Cases, BrokenThemeResourceTest, ::testing::ValuesIn(kBrokenCases),
                         [](const auto& info) {
                           std::string name = info.param.name;
                           for (char& ch : name)
                             if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           return name;
                         });

TEST_F(ThemeTest, UnreadableResourcesLogOnceAndLeaveNoBlackWindow) {
  const QString garbage = resource("garbage.json", "{ this is not JSON");
  const QString noKeys = resource("nokeys.json", "[1, 2, 3]");
  for (const QString& path : {garbage, noKeys, QStringLiteral("/no/such/theme.json")}) {
    std::optional<LogCapture> log(std::in_place);
    const auto theme = DDLightTheme::themeWithResource(path);
    ASSERT_EQ(log->lines().size(), 1u) << path.toStdString();
    EXPECT_NE(log->lines()[0].find(path.toStdString()), std::string::npos);
    EXPECT_FALSE(theme->valueForKey(QStringLiteral("windowColor")).isValid());
  }
  // A window whose theme has no window colour shows the desktop's window colour, not black.
  ZKTheme::registerThemeClass(QStringLiteral("GarbageTheme"),
                              [garbage] { return DDLightTheme::themeWithResource(garbage); });
  BHThemableWindow window;
  window.setBackgroundColorKey(QStringLiteral("windowColor"));
  EXPECT_EQ(window.backgroundColor(), QColor(Qt::white));
  ZKThemeManager::sharedManager().changeTheme(QStringLiteral("GarbageTheme"));
  EXPECT_EQ(window.backgroundColor(), QApplication::palette().color(QPalette::Window));
  EXPECT_NE(window.backgroundColor(), QColor(Qt::black));
  ZKThemableView view;
  view.setBackgroundColorKey(QStringLiteral("windowColor"));
  EXPECT_FALSE(view.backgroundColor().isValid()) << "no fill rather than a black one";
}

TEST_F(ThemeTest, UnknownKeysAndBrokenReferencesInAResourceAreNamed) {
  const QString light = resource(
      "light.json",
      R"({"keys": {"windowColor": "white", "noSuchKey": "white", "textColor": {"ref": "missingKey"}}})");
  std::optional<LogCapture> log(std::in_place);
  const auto theme = DDLightTheme::themeWithResource(light);
  EXPECT_EQ(linesNaming(*log, "noSuchKey"), 1);
  EXPECT_EQ(linesNaming(*log, "textColor"), 1);
  EXPECT_EQ(linesNaming(*log, "tableValueColor"), 1);  // missing
  EXPECT_EQ(theme->valueForKey(QStringLiteral("windowColor")).value<QColor>(), QColor(Qt::white));
  EXPECT_FALSE(theme->valueForKey(QStringLiteral("textColor")).isValid());
}

TEST_F(ThemeTest, TheApplicationFontIsTheThemesTextFontForMenusAndTooltipsToo) {
  const QFont original = QApplication::font();
  // A desktop that gives menus and tooltips fonts of their own, in another family.
  QFont desktop(QStringLiteral("DejaVu Sans"));
  desktop.setPointSize(9);
  QApplication::setFont(desktop);
  QApplication::setFont(desktop, "QMenu");
  QApplication::setFont(desktop, "QTipLabel");

  ASSERT_TRUE(zk_useThemeTextFontForApplication());
  const QString family = zk_installedFontFamily(QStringLiteral("SFProText"));
  ASSERT_FALSE(family.isEmpty());
  QMenu menu;
  QPushButton button;
  QLabel label;
  struct Shown {
    const char* what;
    QFont font;
  };
  for (const Shown& shown : {Shown{"menu", menu.font()}, Shown{"button", button.font()},
                             Shown{"label", label.font()}, Shown{"tooltip", QToolTip::font()}}) {
    SCOPED_TRACE(shown.what);
    EXPECT_EQ(shown.font.family(), family);
    EXPECT_EQ(shown.font.pixelSize(), 13);
    EXPECT_EQ(shown.font.weight(), QFont::Normal);
  }
  QApplication::setFont(original);
}

}  // namespace
