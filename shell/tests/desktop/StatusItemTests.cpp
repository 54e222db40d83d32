// The status item as an object: its width and the notification of a change, the blink timer on the
// main loop, clicks and the context menu, and what it draws (kept as artefacts).
#include <gtest/gtest.h>

#include <QtGui/QFontMetricsF>
#include <QtGui/QGuiApplication>
#include <QtGui/QPainter>
#include <QtWidgets/QMenu>

#include "ShellTestSupport.h"
#include "shell/MTStatusItemState.h"

namespace {

using shelltesting::ShellTest;

class RecordingDelegate : public MTStatusItemDelegate {
 public:
  void menuIconWasClicked() override { ++clicks; }
  bool menuShouldShow() override {
    ++menuQuestions;
    return allowMenu;
  }
  int clicks = 0;
  int menuQuestions = 0;
  bool allowMenu = true;
};

class StatusItemTest : public ShellTest {};

TEST_F(StatusItemTest, ItsWidthFollowsTheBadgeAndEachChangeIsToldOnce) {
  MTStatusItem item;
  int told = 0;
  auto token = platform::NotificationCenter::defaultCenter().addObserverForName(
      MTStatusItemLengthDidChangeNotification, &item, [&](const platform::Notification&) { ++told; });
  ASSERT_FALSE(item.currentImage().isNull()) << "the icon resource is missing";
  EXPECT_EQ(item.length(), 24.0);

  QFont font = QGuiApplication::font();
  font.setPixelSize(12);
  item.setBadgeFont(font);
  EXPECT_EQ(told, 0);  // no badge yet: the width stays
  item.setBadge(QStringLiteral("12"));
  const double iconWidth = item.currentImage().deviceIndependentSize().width();
  const double textWidth =
      std::ceil(iconWidth + 6 + QFontMetricsF(font).size(Qt::TextSingleLine, QStringLiteral("12")).width());
  EXPECT_EQ(item.length(), std::round(std::max(24.0, textWidth + 6)));
  EXPECT_EQ(told, 1);
  item.setBadge(QStringLiteral("12"));
  EXPECT_EQ(told, 1) << "the same badge twice tells once";
  item.setBadge(QString());
  EXPECT_EQ(item.length(), 24.0);
  EXPECT_EQ(told, 2);

  // Without the icon the badge starts at the margin.
  item.setIconVisible(false);
  EXPECT_TRUE(item.currentImage().isNull());
  item.setBadge(QStringLiteral("12"));
  EXPECT_EQ(item.badgeDrawingRect().x(), 6.0);
  EXPECT_TRUE(item.imageDrawingRect().isNull());
}

TEST_F(StatusItemTest, BlinksOnTheMainLoopButNeverWhileActiveAndStopsClean) {
  MTStatusItem item;
  item.startBlinking();
  EXPECT_TRUE(item.isBlinking());
  ASSERT_TRUE(runUntil([&] { return (item.iconState() & MTStatusItemStateBlinkPhase) != 0; }, 3));
  item.setActive(true);
  const std::int64_t held = item.iconState();
  runFor(1.0);  // more than one tick
  EXPECT_EQ(item.iconState(), held) << "an active item does not blink";
  item.stopBlinking();
  EXPECT_FALSE(item.isBlinking());
  EXPECT_EQ(item.iconState() & (MTStatusItemStateBlinking | MTStatusItemStateBlinkPhase), 0);
  EXPECT_TRUE(item.iconState() & MTStatusItemStateActive);
}

TEST_F(StatusItemTest, ClicksGoToTheDelegateAndControlClicksOpenTheMenu) {
  MTStatusItem item;
  RecordingDelegate delegate;
  QMenu menu;
  menu.addAction(QStringLiteral("Preferences…"));
  item.setContextMenu(&menu);

  // No delegate: a click asks for the menu, which nobody allows.
  item.mouseDown(0, QPoint(100, 10));
  EXPECT_TRUE(item.active());
  EXPECT_FALSE(menu.isVisible());
  item.setActive(false);

  item.setDelegate(&delegate);
  struct Case {
    const char* name;
    std::uint64_t flags;
    bool right;
    int clicks;
    int questions;
  };
  const Case cases[] = {
      {"plain click", 0, false, 1, 0},
      {"control click", MTEventModifierFlagControl, false, 0, 1},
      {"control and shift is a click", MTEventModifierFlagControl | MTEventModifierFlagShift, false, 1, 0},
      {"control and option is a click", MTEventModifierFlagControl | MTEventModifierFlagOption, false, 1, 0},
      {"right click", 0, true, 0, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    delegate.clicks = delegate.menuQuestions = 0;
    if (c.right) {
      item.rightMouseDown(QPoint(100, 10));
    } else {
      item.mouseDown(c.flags, QPoint(100, 10));
    }
    EXPECT_EQ(delegate.clicks, c.clicks);
    EXPECT_EQ(delegate.menuQuestions, c.questions);
    if (c.questions) {
      ASSERT_TRUE(runUntil([&] { return menu.isVisible(); }, 3));
      EXPECT_TRUE(item.active());
      menu.close();
      ASSERT_TRUE(runUntil([&] { return !item.active(); }, 3)) << "closing the menu clears the highlight";
    }
  }

  // A delegate that refuses: the item lights up but no menu opens.
  delegate.allowMenu = false;
  item.rightMouseDown();
  EXPECT_TRUE(item.active());
  runFor(0.1);
  EXPECT_FALSE(menu.isVisible());
}

TEST_F(StatusItemTest, WithoutATrayTheClickPositionStandsInForTheFrame) {
  MTStatusItem item;
  if (item.isInTray()) GTEST_SKIP() << "this platform has a tray";
  EXPECT_TRUE(item.frame().isEmpty());
  EXPECT_EQ(item.screen(), nullptr);
  item.mouseDown(0, QPoint(300, 12));
  EXPECT_EQ(item.frame(), QRect(300 - 12, 12 - 11, 24, 22));
  EXPECT_NE(item.screen(), nullptr);
}

TEST_F(StatusItemTest, DrawsItsStatesWithAtMostThreeTintedIcons) {
  MTStatusItem item;
  // Every state drawn at twice the resolution, side by side on a light and on a dark strip.
  struct Shot {
    const char* name;
    std::function<void(MTStatusItem&)> set;
  };
  const Shot shots[] = {
      {"normal", [](MTStatusItem& i) { i.setActive(false); }},
      {"active", [](MTStatusItem& i) { i.setActive(true); }},
      {"blink-lit",
       [](MTStatusItem& i) {
         i.setActive(false);
         i.setIconState(i.iconState() | MTStatusItemStateBlinking | MTStatusItemStateBlinkPhase);
       }},
      {"badge",
       [](MTStatusItem& i) {
         i.setIconState(0);
         QFont font = QGuiApplication::font();
         font.setPixelSize(11);
         font.setBold(true);
         i.setBadgeFont(font);
         i.setBadgeColor(QColor(20, 20, 20));
         i.setBadgeColorDark(QColor(240, 240, 240));
         i.setBadge(QStringLiteral("3"));
       }},
  };
  std::vector<QImage> light;
  for (const auto& shot : shots) {
    shot.set(item);
    light.push_back(item.render(2.0));
  }
  // The dark appearance follows the desktop's palette.
  const QPalette saved = QGuiApplication::palette();
  QPalette dark = saved;
  dark.setColor(QPalette::Window, QColor(40, 40, 40));
  dark.setColor(QPalette::WindowText, QColor(230, 230, 230));
  QGuiApplication::setPalette(dark);
  item.setBadge(QString());
  const QImage darkImage = item.render(2.0);
  EXPECT_TRUE(item.iconState() & MTStatusItemStateDark);
  QGuiApplication::setPalette(saved);
  item.updateDarkModeState();
  EXPECT_FALSE(item.iconState() & MTStatusItemStateDark);
  EXPECT_LE(item.iconCacheSize(), 3);
  EXPECT_EQ(item.iconCacheSize(), 3);  // normal, active and dark were all drawn

  // The icon's colour in each shot: black on normal, white when lit or dark.
  auto iconColour = [](const QImage& image) {
    const QImage plain = image.convertToFormat(QImage::Format_ARGB32);
    // The middle bar of the icon, 10 points down and 12 across in a 24-point item.
    return plain.pixelColor(int(12 * 2), int(13 * 2));
  };
  EXPECT_EQ(iconColour(light[0]).lightness(), 0);
  EXPECT_EQ(iconColour(light[1]).lightness(), 255);
  EXPECT_EQ(iconColour(light[2]).lightness(), 255);
  EXPECT_EQ(iconColour(darkImage).lightness(), 255);

  QImage sheet(QSize(4 * 140, 2 * 60), QImage::Format_ARGB32);
  sheet.fill(Qt::white);
  QPainter painter(&sheet);
  painter.fillRect(QRect(0, 60, sheet.width(), 60), QColor(40, 40, 40));
  for (std::size_t i = 0; i < light.size(); ++i) {
    painter.fillRect(QRect(int(i) * 140, 0, 140, 60), QColor(221, 221, 221));  // a light panel
    painter.drawImage(QPointF(int(i) * 140 + 10, 8), light[i]);
  }
  painter.drawImage(QPointF(10, 68), darkImage);
  painter.end();
  qvtesting::saveImage(sheet, "app-shell", "status-item-states");
}

}  // namespace
