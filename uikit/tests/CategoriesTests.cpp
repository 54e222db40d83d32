#include <gtest/gtest.h>

#include <QtGui/QFont>
#include <QtGui/QPainter>
#include <fstream>

#include "platform/desktop/testing/GuiTest.h"
#include "uikit/NSArray+Utilities.h"
#include "uikit/NSColor+Utilities.h"
#include "uikit/NSImage+TintColor.h"
#include "uikit/NSProcessInfo+OSVersionHelper.h"
#include "uikit/NSString+SizeCalculation.h"
#include "uikit/ZKMemoryFormatter.h"

namespace {

struct HexCase {
  const char* text;
  int red, green, blue;
};

TEST(NSColorUtilities, HexTextsGiveTheColoursTheEngineReads) {
  const HexCase cases[] = {
      {"527908", 82, 121, 8},         {"#527908", 82, 121, 8}, {"##527908", 0, 0, 0},
      {"0x527908", 82, 121, 8},       {"FFF", 0, 15, 255},     {"#ff0000", 255, 0, 0},
      {"12345678", 0x34, 0x56, 0x78}, {"", 0, 0, 0},           {"not a colour", 0, 0, 0},
      {" #527908", 0, 0, 0},
  };
  for (const auto& c : cases) {
    const QColor color = zk_colorWithHexColorString(c.text);
    EXPECT_EQ(color, QColor(c.red, c.green, c.blue)) << c.text;
    EXPECT_EQ(color.alpha(), 255);
  }
}

TEST(NSColorUtilities, EasyAndRandomColoursStayInTheirRanges) {
  QColor blue = zk_colorWithEasyHue(240, 100, 100);
  EXPECT_EQ(blue.toRgb(), QColor(0, 0, 255));
  QColor half = zk_colorWithEasyHue(0, 100, 50, 0.5);
  EXPECT_NEAR(half.valueF(), 0.5, 1e-4);  // Qt keeps 16 bits per component
  EXPECT_NEAR(half.alphaF(), 0.5, 1e-4);
  EXPECT_EQ(zk_colorWithEasyHue(360, 100, 100).toRgb(), QColor(255, 0, 0));
  for (int i = 0; i < 200; ++i) {
    QColor random = zk_randomColor();
    EXPECT_GE(random.hsvSaturationF(), 0.70 - 1e-4);
    EXPECT_LE(random.hsvSaturationF(), 0.99 + 1e-4);
    EXPECT_GE(random.valueF(), 0.70 - 1e-4);
    EXPECT_LE(random.valueF(), 0.99 + 1e-4);
    EXPECT_EQ(random.alpha(), 255);
  }
  const platform::Color layer{0.2, 0.4, 0.6, 0.8};
  EXPECT_NEAR(zk_platformColor(zk_colorWithPlatformColor(layer)).blue, 0.6, 1e-4);
}

TEST(NSImageTintColor, TintsCoveredPixelsAndKeepsTransparency) {
  // A half-transparent disc on a clear square.
  QImage image(20, 20, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  {
    QPainter painter(&image);
    painter.fillRect(QRect(0, 0, 10, 20), QColor(255, 255, 255, 255));
    painter.fillRect(QRect(10, 0, 5, 20), QColor(0, 0, 0, 128));
  }
  const QImage tinted = zk_imageWithTintColor(image, QColor(255, 0, 0));
  ASSERT_EQ(tinted.size(), image.size());
  EXPECT_EQ(tinted.pixelColor(2, 2), QColor(255, 0, 0));  // opaque white became red
  const QColor halfTinted = tinted.pixelColor(12, 2);
  EXPECT_NEAR(halfTinted.alpha(), 128, 1);  // coverage kept
  EXPECT_NEAR(halfTinted.red(), 255, 2);
  EXPECT_EQ(halfTinted.green(), 0);
  EXPECT_EQ(tinted.pixelColor(17, 2).alpha(), 0);  // clear stays clear
  EXPECT_TRUE(zk_imageWithTintColor(QImage(), Qt::red).isNull());
  qvtesting::saveImage(tinted.scaled(80, 80), "uikit", "tinted-image");
}

class ResourceTest : public qvtesting::GuiTest {};

TEST_F(ResourceTest, NamedImagesComeFromTheImagesFolder) {
  const auto folder = root() / "resources";
  std::filesystem::create_directories(folder / "Images");
  QImage icon(8, 8, QImage::Format_ARGB32);
  icon.fill(Qt::black);
  ASSERT_TRUE(icon.save(QString::fromStdString((folder / "Images" / "status.png").string())));
  platform::Bundle bundle(folder);
  const QImage tinted = zk_imageWithName(QStringLiteral("status"), QColor(0, 128, 255), bundle);
  ASSERT_FALSE(tinted.isNull());
  EXPECT_EQ(tinted.pixelColor(4, 4), QColor(0, 128, 255));
  EXPECT_TRUE(zk_imageWithName(QStringLiteral("missing"), Qt::red, bundle).isNull());
  EXPECT_TRUE(zk_imageNamed(QString(), bundle).isNull());
}

TEST_F(ResourceTest, PropertyListResourcesLoadByKind) {
  const auto folder = root() / "resources";
  std::filesystem::create_directories(folder);
  auto write = [&](const std::string& name, const platform::PropertyList& list) {
    auto bytes = list.write(platform::PropertyList::Format::XML);
    std::ofstream(folder / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes->data()), bytes->size());
  };
  write("Emoji.plist", platform::PropertyList(platform::PropertyList::Array{"😀", "🌤"}));
  write("Tables.plist", platform::PropertyList(platform::PropertyList::Dictionary{{"Smileys", "😀"}}));
  std::ofstream(folder / "Broken.plist") << "<plist><array><string>unterminated";
  platform::Bundle bundle(folder);

  auto array = zk_arrayFromPropertyListWithName("Emoji", bundle);
  ASSERT_TRUE(array);
  EXPECT_EQ(array->size(), 2u);
  auto dictionary = zk_dictionaryFromPropertyListWithName("Tables", bundle);
  ASSERT_TRUE(dictionary);
  EXPECT_EQ(*dictionary->at("Smileys").asString(), "😀");

  struct WrongCase {
    const char* name;
    bool array;
    const char* logged;
  };
  const WrongCase wrong[] = {{"Tables", true, "Property list isn't an array"},
                             {"Emoji", false, "Property list isn't a dictionary"},
                             {"Broken", true, "Property list isn't an array"},
                             {"Broken", false, "Property list isn't a dictionary"}};
  for (const auto& c : wrong) {
    qvtesting::LogCapture log;
    if (c.array) {
      EXPECT_FALSE(zk_arrayFromPropertyListWithName(c.name, bundle)) << c.name;
    } else {
      EXPECT_FALSE(zk_dictionaryFromPropertyListWithName(c.name, bundle)) << c.name;
    }
    EXPECT_TRUE(log.contains(c.logged)) << c.name;
  }
  // A missing resource or file gives nothing and says nothing.
  qvtesting::LogCapture quiet;
  EXPECT_FALSE(zk_arrayFromPropertyListWithName("Missing", bundle));
  EXPECT_FALSE(zk_arrayFromPropertyListAtPath(folder / "nowhere.plist"));
  EXPECT_FALSE(zk_dictionaryFromPropertyListAtPath(folder / "nowhere.plist"));
  EXPECT_TRUE(quiet.lines().empty());
}

struct FormatterCase {
  const char* name;
  double bytes;
  std::function<void(ZKMemoryFormatter&)> configure;
  const char* number;
  const char* unit;
};

TEST(ZKMemoryFormatter, FormatsByteCountsByItsSettings) {
  auto none = [](ZKMemoryFormatter&) {};
  const FormatterCase cases[] = {
      {"zero", 0, none, "0.0", "bytes"},
      {"under a kilobyte", 999, none, "999.00", "bytes"},
      {"one kilobyte", 1000, none, "1.00", "KB"},
      {"one and a half", 1500, none, "1.50", "KB"},
      {"a megabyte", 1e6, none, "1.00", "MB"},
      {"beyond the last unit", 2e21, none, "2000.00", "EB"},
      {"abbreviated", 1500, [](auto& f) { f.setFormatterStyle(2); }, "1.50", "K"},
      {"binary steps", 1024, [](auto& f) { f.setByteUnit(1024); }, "1.00", "KB"},
      {"minimum unit KB, one byte", 1, [](auto& f) { f.setMinimumUnit(1); }, "0.00", "KB"},
      {"minimum unit KB, zero", 0, [](auto& f) { f.setMinimumUnit(1); }, "0.0", "KB"},
      {"maximum unit MB", 5e12, [](auto& f) { f.setMaximumUnit(2); }, "5000000.00", "MB"},
      {"minimum equals maximum still steps once", 5e6,
       [](auto& f) {
         f.setMinimumUnit(1);
         f.setMaximumUnit(1);
       },
       "5.00", "MB"},
      // Unit indexes outside the table are clamped, never read past it.
      {"maximum far beyond", 2e21, [](auto& f) { f.setMaximumUnit(40); }, "2000.00", "EB"},
      {"minimum beyond the last", 1e18,
       [](auto& f) {
         f.setMinimumUnit(9);
         f.setMaximumUnit(9);
       },
       "1.00", "EB"},
      {"negative units", 1500,
       [](auto& f) {
         f.setMinimumUnit(-3);
         f.setMaximumUnit(-1);
       },
       "1.50", "KB"},
      {"short unit table", 1e9,
       [](auto& f) {
         f.setUnitStrings({"B", "KB"});
       },
       "1.00", "KB"},
      {"empty unit table", 1e9, [](auto& f) { f.setUnitStrings({}); }, "1.00", ""},
  };
  for (const auto& c : cases) {
    ZKMemoryFormatter formatter;
    formatter.setLocale(QLocale::c());
    c.configure(formatter);
    const QStringList parts = formatter.arrayFromBytes(c.bytes);
    EXPECT_EQ(parts.at(0).toStdString(), c.number) << c.name;
    EXPECT_EQ(parts.at(1).toStdString(), c.unit) << c.name;
  }
  ZKMemoryFormatter formatter;
  formatter.setLocale(QLocale::c());
  EXPECT_EQ(formatter.stringFromBytes(1500), QStringLiteral("1.50 KB"));
  formatter.setLocale(QLocale(QLocale::German, QLocale::Germany));
  EXPECT_EQ(formatter.stringFromBytes(1234567), QStringLiteral("1,23 MB"));
  formatter.setMaximumUnit(1);
  EXPECT_EQ(formatter.stringFromBytes(5e6), QStringLiteral("5000,00 KB"));  // never grouped
}

TEST(ZKMemoryFormatter, ConvertsBetweenUnitsAndWritesItsFormat) {
  ZKMemoryFormatter f;
  EXPECT_DOUBLE_EQ(f.convertValue(1, 2, 0), 1e6);
  EXPECT_DOUBLE_EQ(f.convertValue(1500, 1, 2), 1.5);
  EXPECT_DOUBLE_EQ(f.convertValue(7, 3, 3), 7);
  EXPECT_DOUBLE_EQ(f.convertValue(2e6, 0, 2), 2);
  EXPECT_DOUBLE_EQ(f.convertBytes(5000, 0), 5000);
  EXPECT_DOUBLE_EQ(f.convertBytes(5000, -2), 5000);
  EXPECT_DOUBLE_EQ(f.convertBytes(5e21, 99), 5000);  // clamped at EB

  struct FormatCase {
    bool decimals;
    std::int64_t style;
    const char* format;
  };
  const FormatCase formats[] = {{true, 0, "%0.1f %@"}, {false, 0, "%0.0f %@"}, {true, 1, "%0.1f %@/s"},
                                {true, 2, "%0.1f %@"}, {true, 3, "%0.1f%@"},   {false, 3, "%0.0f%@"}};
  for (const auto& c : formats) {
    f.setShowsDecimalNumbers(c.decimals);
    f.setFormatterStyle(c.style);
    EXPECT_EQ(f.stringFormat().toStdString(), c.format);
  }
}

TEST(NSProcessInfoOSVersion, VersionTestsAnswerAtTheirThresholds) {
  struct VersionCase {
    double threshold, version;
    bool expected;
  };
  const VersionCase cases[] = {
      {1151.16, 1151.16, true}, {1151.16, 1151.15, false}, {855.11, 1348.1, true}, {1348.1, 1253.0, false}};
  for (const auto& c : cases) {
    EXPECT_EQ(zk_isOperatingSystemAtLeastVersion(c.threshold, c.version), c.expected) << c.threshold;
  }
  EXPECT_TRUE(zk_isOperatingSystemAtLeast10_9());
  EXPECT_TRUE(zk_isOperatingSystemAtLeast10_10());
  EXPECT_TRUE(zk_isOperatingSystemAtLeast10_10_3());
  EXPECT_TRUE(zk_isOperatingSystemAtLeast10_11());
  EXPECT_TRUE(zk_isOperatingSystemAtLeast10_12());
}

TEST(NSStringSizeCalculation, WidthGrowsWithTheTextAndNeverWraps) {
  QFont font;
  font.setPointSize(12);
  EXPECT_EQ(zk_stringWidthWithFont(QString(), font), 0);
  const double one = zk_stringWidthWithFont(QStringLiteral("Weather"), font);
  const double two = zk_stringWidthWithFont(QStringLiteral("Weather Weather"), font);
  EXPECT_GT(one, 0);
  EXPECT_GT(two, one * 1.9);
  QString longText(2000, QLatin1Char('m'));
  EXPECT_GT(zk_stringWidthWithFont(longText, font), 2000);
}

}  // namespace
