// Where the dockable window goes, on tables of desktops: panels at every edge, windows too close to a
// screen edge, several screens with offsets, and the stored frame of a floating window.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "shell/STDockingGeometry.h"

namespace {

using STDockingGeometry::dockedFrame;

// One 1280×800 screen with a 24-point panel at the given edge.
std::vector<STScreenArea> screenWithPanel(char edge) {
  const QRect whole(0, 0, 1280, 800);
  switch (edge) {
    case 't':
      return {{whole, QRect(0, 24, 1280, 776)}};
    case 'b':
      return {{whole, QRect(0, 0, 1280, 776)}};
    case 'l':
      return {{whole, QRect(24, 0, 1256, 800)}};
    case 'r':
      return {{whole, QRect(0, 0, 1256, 800)}};
    default:
      return {{whole, whole}};
  }
}

struct DockCase {
  const char* name;
  std::vector<STScreenArea> screens;
  QRect item;
  QSize window;
  QRect expected;
};

TEST(DockingGeometry, TheWindowHangsAtItsItemAndStaysOnTheItemsScreen) {
  // Two screens side by side, the second one taller and lower; a third left of the first (negative x).
  const std::vector<STScreenArea> three = {
      {QRect(0, 0, 1920, 1080), QRect(0, 28, 1920, 1052)},
      {QRect(1920, 200, 1280, 1024), QRect(1920, 200, 1280, 1024)},
      {QRect(-1440, 0, 1440, 900), QRect(-1440, 0, 1440, 876)},
  };
  const DockCase cases[] = {
      {"top panel: centred under the item", screenWithPanel('t'), QRect(600, 0, 24, 24), QSize(450, 300),
       QRect(387, 24, 450, 300)},
      {"an odd width rounds the half", screenWithPanel('t'), QRect(600, 0, 23, 24), QSize(451, 300),
       QRect(386, 24, 451, 300)},
      {"right edge: flush with the free area's right edge", screenWithPanel('t'), QRect(1250, 0, 24, 24),
       QSize(450, 300), QRect(830, 24, 450, 300)},
      {"left edge: starts at the free area's left edge", screenWithPanel('t'), QRect(4, 0, 24, 24),
       QSize(450, 300), QRect(0, 24, 450, 300)},
      {"wider than the screen: the left edge wins", screenWithPanel('t'), QRect(600, 0, 24, 24),
       QSize(1400, 300), QRect(0, 24, 1400, 300)},
      {"bottom panel: stands on the item", screenWithPanel('b'), QRect(1200, 776, 24, 24), QSize(450, 300),
       QRect(830, 476, 450, 300)},
      {"bottom panel, taller than the room: the top edge wins", screenWithPanel('b'), QRect(600, 776, 24, 24),
       QSize(450, 900), QRect(387, 0, 450, 900)},
      {"left panel: beside the item, top edges aligned", screenWithPanel('l'), QRect(0, 300, 24, 24),
       QSize(450, 300), QRect(24, 300, 450, 300)},
      {"left panel near the bottom: pulled up onto the screen", screenWithPanel('l'), QRect(0, 760, 24, 24),
       QSize(450, 300), QRect(24, 500, 450, 300)},
      {"right panel: beside the item on its left", screenWithPanel('r'), QRect(1256, 100, 24, 24),
       QSize(450, 300), QRect(806, 100, 450, 300)},
      {"no panel at all: under the item", screenWithPanel('-'), QRect(600, 0, 24, 24), QSize(450, 300),
       QRect(387, 24, 450, 300)},
      {"second screen, offset and lower", three, QRect(3100, 200, 24, 28), QSize(450, 300),
       QRect(2750, 228, 450, 300)},
      {"second screen's left edge, not the first screen", three, QRect(1921, 200, 24, 28), QSize(450, 300),
       QRect(1920, 228, 450, 300)},
      {"first screen's right edge next to the second", three, QRect(1890, 0, 24, 28), QSize(450, 300),
       QRect(1470, 28, 450, 300)},
      {"screen at negative x with a bottom panel", three, QRect(-700, 876, 24, 24), QSize(450, 300),
       QRect(-913, 576, 450, 300)},
      {"screen at negative x, left edge", three, QRect(-1440, 876, 24, 24), QSize(450, 300),
       QRect(-1440, 576, 450, 300)},
      {"an item between screens goes to the one it overlaps most", three, QRect(1900, 100, 24, 24),
       QSize(450, 300), QRect(1470, 124, 450, 300)},
      {"no item known yet: top of the first screen, centred", three, QRect(), QSize(450, 300),
       QRect(735, 28, 450, 300)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(dockedFrame(c.item, c.window, c.screens), c.expected);
  }
}

TEST(DockingGeometry, TheArrowPointsAtTheItemWhereverTheWindowHadToGo) {
  const auto top = screenWithPanel('t');
  struct Case {
    const char* name;
    std::vector<STScreenArea> screens;
    QRect item;
    std::optional<double> expected;  // from the window's left edge
  };
  const Case cases[] = {
      {"centred under the item: the middle", top, QRect(600, 0, 24, 24), 225},
      {"kept on the screen at the right edge: under the item", top, QRect(1250, 0, 24, 24), 432},
      {"kept on the screen at the left edge: under the item", top, QRect(4, 0, 24, 24), 16},
      {"an item in the panel's corner: at the window's edge", top, QRect(1256, 0, 24, 24), 438},
      {"a bottom panel: the window stands on the item, no place", screenWithPanel('b'),
       QRect(1200, 776, 24, 24), std::nullopt},
      {"a side panel: the window is beside the item, no place", screenWithPanel('r'),
       QRect(1256, 100, 24, 24), std::nullopt},
      {"no item known: no place", top, QRect(), std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const QRect window = dockedFrame(c.item, QSize(450, 300), c.screens);
    EXPECT_EQ(STDockingGeometry::arrowPosition(c.item, window), c.expected);
  }
}

TEST(DockingGeometry, TheItemsScreenIsFoundByCentreThenOverlapThenDistance) {
  const std::vector<STScreenArea> two = {
      {QRect(0, 0, 1000, 800), QRect(0, 0, 1000, 800)},
      {QRect(1000, 0, 1000, 800), QRect(1000, 0, 1000, 800)},
  };
  EXPECT_EQ(STDockingGeometry::screenIndexForItem(QRect(1500, 0, 24, 24), two), 1);
  EXPECT_EQ(STDockingGeometry::screenIndexForItem(QRect(990, 0, 24, 24), two), 1);     // centre at 1002
  EXPECT_EQ(STDockingGeometry::screenIndexForItem(QRect(980, -30, 24, 24), two), 0);   // above, overlaps none
  EXPECT_EQ(STDockingGeometry::screenIndexForItem(QRect(2500, 300, 24, 24), two), 1);  // off to the right
  EXPECT_EQ(STDockingGeometry::screenIndexForItem(QRect(0, 0, 24, 24), {}), -1);
}

TEST(DockingGeometry, StoredFramesReadBackAndComeBackOntoTheDesktop) {
  const std::vector<STScreenArea> one = screenWithPanel('t');
  const std::string stored =
      STDockingGeometry::frameString(QRect(120, 80, 450, 320), QRect(0, 24, 1280, 776));
  EXPECT_EQ(stored, "120 80 450 320 0 24 1280 776");
  struct Case {
    const char* name;
    std::string text;
    std::optional<QRect> expected;
  };
  const Case cases[] = {
      {"round trip", stored, QRect(120, 80, 450, 320)},
      {"the frame alone", "10 30 300 200", QRect(10, 30, 300, 200)},
      {"partly off screen stays", "-100 30 300 200", QRect(-100, 30, 300, 200)},
      {"on a screen that is gone: centred on the first", "5000 3000 300 200 3840 0 1920 1080",
       QRect(490, 312, 300, 200)},
      {"too big for the screen it comes back to", "5000 0 2000 2000", QRect(0, 24, 1280, 776)},
      {"no size", "10 10 0 200", std::nullopt},
      {"negative size", "10 10 300 -5", std::nullopt},
      {"too few numbers", "10 10 300", std::nullopt},
      {"words", "{{10, 10}, {300, 200}}", std::nullopt},
      {"empty", "", std::nullopt},
      {"absurd numbers", "99999999999 0 300 200", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(STDockingGeometry::frameFromString(c.text, one), c.expected);
  }
}

}  // namespace
