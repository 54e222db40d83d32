// The theme as the application's palette: each theme's palette reads (text on every surface, selected
// text on the selection), its tick boxes stand out from their surfaces, the tabs' unselected look
// follows the dark theme's button colours, and the contrast measure itself.
#include <gtest/gtest.h>

#include <QtGui/QImage>
#include <QtGui/QPainter>
#include <QtWidgets/QCheckBox>
#include <QtWidgets/QStyleFactory>
#include <memory>

#include "platform/desktop/testing/GuiTest.h"
#include "uikit/DDDarkTheme.h"
#include "uikit/DDLightTheme.h"
#include "uikit/QVApplicationTheme.h"
#include "uikit/QVTabButtonCell.h"
#include "uikit/ZKThemeManager.h"

namespace {

// A colour with alpha as it shows over an opaque background.
QColor over(const QColor& top, const QColor& background) {
  const double a = top.alphaF();
  return QColor::fromRgbF(float(top.redF() * a + background.redF() * (1 - a)),
                          float(top.greenF() * a + background.greenF() * (1 - a)),
                          float(top.blueF() * a + background.blueF() * (1 - a)));
}

class ApplicationThemeTest : public qvtesting::GuiTest, public ::testing::WithParamInterface<const char*> {
 protected:
  void SetUp() override {
    GuiTest::SetUp();
    ZKThemeManager::sharedManager().changeTheme(QString::fromLatin1(GetParam()));
  }
  void TearDown() override {
    ZKThemeManager::sharedManager().changeTheme(QStringLiteral("DDLightTheme"));
    GuiTest::TearDown();
  }
  bool dark() const { return QString::fromLatin1(GetParam()) == u"DDDarkTheme"; }
  QPalette palette() const {
    return QVApplicationTheme::paletteOfTheme(ZKTheme::sharedTheme(QString::fromLatin1(GetParam())),
                                              QPalette(Qt::gray));
  }
};

TEST(ContrastRatioTest, FollowsTheWcagFormula) {
  EXPECT_NEAR(zk_contrastRatio(Qt::black, Qt::white), 21.0, 1e-9);
  EXPECT_NEAR(zk_contrastRatio(Qt::white, Qt::black), 21.0, 1e-9);
  EXPECT_NEAR(zk_contrastRatio(QColor(0x77, 0x77, 0x77), Qt::white), 4.48, 0.01);
  EXPECT_NEAR(zk_contrastRatio(QColor(0x33, 0x38, 0x40), QColor(0x33, 0x38, 0x40)), 1.0, 1e-9);
}

TEST_P(ApplicationThemeTest, TextReadsOnEverySurfaceOfThePalette) {
  const QPalette p = palette();
  // The surfaces are the theme's.
  const QColor window = ZKThemeManager::sharedManager().colorForKey(QStringLiteral("windowColor"));
  EXPECT_EQ(p.color(QPalette::Window), window);
  EXPECT_EQ(p.color(QPalette::Inactive, QPalette::Window), window);
  EXPECT_EQ(p.color(QPalette::Window).lightnessF() < 0.5, dark());
  struct Pair {
    QPalette::ColorRole text, surface;
  };
  for (const auto group : {QPalette::Active, QPalette::Inactive}) {
    for (const Pair pair :
         {Pair{QPalette::WindowText, QPalette::Window}, Pair{QPalette::Text, QPalette::Base},
          Pair{QPalette::ButtonText, QPalette::Button}, Pair{QPalette::HighlightedText, QPalette::Highlight},
          Pair{QPalette::ToolTipText, QPalette::ToolTipBase}}) {
      const QColor surface = p.color(group, pair.surface);
      EXPECT_GE(zk_contrastRatio(over(p.color(group, pair.text), surface), surface), 4.5)
          << GetParam() << " role " << pair.text << " on " << pair.surface;
    }
  }
  // Disabled text is dimmed, not hidden.
  const QColor disabled = over(p.color(QPalette::Disabled, QPalette::WindowText), window);
  EXPECT_LT(zk_contrastRatio(disabled, window),
            zk_contrastRatio(over(p.color(QPalette::WindowText), window), window));
  EXPECT_GT(zk_contrastRatio(disabled, window), 1.5);
}

TEST_P(ApplicationThemeTest, AnUntickedBoxStandsOutFromItsSurface) {
  auto style = std::make_unique<ZKThemeStyle>(QStyleFactory::create(QStringLiteral("Fusion")));
  QCheckBox box(QStringLiteral("Box"));
  box.setStyle(style.get());
  box.setPalette(palette());
  box.setAutoFillBackground(true);
  box.resize(box.sizeHint());
  QImage image(box.size(), QImage::Format_RGB32);
  box.render(&image);
  QStyleOptionButton option;
  option.initFrom(&box);
  const QRect indicator = style->subElementRect(QStyle::SE_CheckBoxIndicator, &option, &box);
  const QColor window = palette().color(QPalette::Window);
  double best = 1;
  for (int y = indicator.top(); y <= indicator.bottom(); ++y)
    for (int x = indicator.left(); x <= indicator.right(); ++x)
      best = std::max(best, zk_contrastRatio(QColor(image.pixel(x, y)), window));
  EXPECT_GE(best, 3.0) << GetParam() << ": the box's outline is lost on its surface";
}

TEST_P(ApplicationThemeTest, UnselectedTabsTakeTheDarkThemesButtonColours) {
  QVTabButtonCell tab;
  const auto bezel = tab.bezel();
  if (dark()) {
    EXPECT_EQ(bezel.fill,
              ZKThemeManager::sharedManager().colorForKey(QStringLiteral("buttonBackgroundColor")));
    EXPECT_EQ(tab.currentTitleColor(), QColor(Qt::white));
    EXPECT_GE(zk_contrastRatio(tab.currentTitleColor(), bezel.fill), 4.5);
  } else {
    EXPECT_EQ(bezel.fill, QColor(Qt::white));
    EXPECT_EQ(tab.currentTitleColor(), QColor::fromRgbF(0.302f, 0.302f, 0.302f));
  }
}

INSTANTIATE_TEST_SUITE_P(Themes, ApplicationThemeTest, ::testing::Values("DDLightTheme", "DDDarkTheme"));

}  // namespace
