// The controls gallery in both themes: every control laid out in one window, grabbed for a person to
// look at (test-artefacts/uikit-gallery), with the theme's colours checked where they must show.
#include <gtest/gtest.h>

#include <QtCore/QProcess>
#include <QtWidgets/QHeaderView>
#include <QtWidgets/QScrollBar>

#include "platform/desktop/testing/GuiTest.h"
#include "testing/TreePaths.h"
#include "uikit/SBOutlineView.h"
#include "uikit/ZKThemableTableView.h"
#include "uikit/ZKThemeManager.h"
#include "uikit/gallery/QVGalleryWindow.h"

namespace {

class GalleryTest : public qvtesting::GuiTest {
 protected:
  void TearDown() override {
    ZKThemeManager::sharedManager().changeTheme(QStringLiteral("DDLightTheme"));
    GuiTest::TearDown();
  }
};

QColor pixelAt(const QImage& image, const QPoint& point) {
  const double dpr = image.devicePixelRatio();
  return image.pixelColor(int(point.x() * dpr), int(point.y() * dpr));
}

TEST_F(GalleryTest, EveryControlInBothThemes) {
  struct Case {
    const char* theme;
    const char* file;
    bool dark;
  };
  for (const Case& c :
       {Case{"DDLightTheme", "gallery-light", false}, Case{"DDDarkTheme", "gallery-dark", true}}) {
    SCOPED_TRACE(c.theme);
    ZKThemeManager::sharedManager().changeTheme(QString::fromUtf8(c.theme));
    QVGalleryWindow window;
    window.show();
    ASSERT_TRUE(runUntil([&] { return window.isVisible(); }));
    runFor(0.2);
    window.freezeAnimations();
    const QImage image = window.grab().toImage();
    qvtesting::saveImage(image, "uikit-gallery", c.file);

    auto lightness = [&](QWidget* widget, QPoint at) {
      return pixelAt(image, widget->mapTo(&window, at)).lightnessF();
    };
    // The window, the outline's rows, the table's header and its scroll bar all follow the theme.
    EXPECT_EQ(lightness(&window, QPoint(4, 4)) < 0.5, c.dark);
    SBOutlineView* outline = window.outline();
    const QRect lastRow = outline->visualRect(outline->itemAtRow(9));
    EXPECT_EQ(
        lightness(outline->viewport(), QPoint(outline->viewport()->width() - 4, lastRow.bottom() + 20)) < 0.5,
        c.dark);
    ZKThemableTableView* table = window.table();
    EXPECT_EQ(lightness(table->horizontalHeader(), QPoint(table->horizontalHeader()->width() - 10, 6)) < 0.5,
              c.dark);
    ASSERT_TRUE(table->verticalScrollBar()->isVisible());
    EXPECT_EQ(
        lightness(table->verticalScrollBar(), QPoint(5, table->verticalScrollBar()->height() - 6)) < 0.5,
        c.dark);
  }
}

TEST_F(GalleryTest, SwitchingTheThemeRepaintsTheOpenWindow) {
  ZKThemeManager::sharedManager().changeTheme(QStringLiteral("DDLightTheme"));
  QVGalleryWindow window;
  window.show();
  ASSERT_TRUE(runUntil([&] { return window.isVisible(); }));
  window.freezeAnimations();
  ZKThemeManager::sharedManager().changeTheme(QStringLiteral("DDDarkTheme"));
  runFor(0.1);
  const QImage image = window.grab().toImage();
  qvtesting::saveImage(image, "uikit-gallery", "gallery-switched-to-dark");
  EXPECT_LT(pixelAt(image, QPoint(4, 4)).lightnessF(), 0.5);
  SBOutlineView* outline = window.outline();
  const QRect group = outline->visualRect(outline->itemAtRow(0));
  const QPoint inGroup = outline->viewport()->mapTo(&window, QPoint(group.right() - 30, group.center().y()));
  EXPECT_LT(pixelAt(image, inGroup).lightnessF(), 0.5);
}

TEST_F(GalleryTest, TheGalleryProgramGrabsItselfInEitherTheme) {
  for (const char* theme : {"light", "dark"}) {
    SCOPED_TRACE(theme);
    const auto file = qvtesting::artefactFolder("uikit-gallery") / (std::string("program-") + theme + ".png");
    std::filesystem::remove(file);
    QProcess gallery;
    gallery.setProcessEnvironment([] {
      auto environment = QProcessEnvironment::systemEnvironment();
      environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
      return environment;
    }());
    gallery.start(QString::fromUtf8(QV_UIKIT_GALLERY),
                  {QStringLiteral("--theme"), QString::fromUtf8(theme), QStringLiteral("--grab"),
                   QString::fromStdString(file.string())});
    ASSERT_TRUE(gallery.waitForFinished(30000));
    EXPECT_EQ(gallery.exitCode(), 0) << gallery.readAllStandardError().toStdString();
    const QImage image(QString::fromStdString(file.string()));
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.pixelColor(4, 4).lightnessF() < 0.5, std::string(theme) == "dark");
  }
  // A theme it does not know is refused with a clear message.
  QProcess wrong;
  wrong.start(QString::fromUtf8(QV_UIKIT_GALLERY), {QStringLiteral("--theme"), QStringLiteral("purple"),
                                                    QStringLiteral("--grab"), QStringLiteral("/dev/null")});
  ASSERT_TRUE(wrong.waitForFinished(30000));
  EXPECT_EQ(wrong.exitCode(), 2);
  EXPECT_TRUE(wrong.readAllStandardError().contains("the theme is light or dark"));
}

}  // namespace
