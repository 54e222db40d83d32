// The status item's state bits, colours, click rule and layout as tables.
#include <gtest/gtest.h>

#include <string>

#include "shell/MTStatusItemState.h"

namespace {

using namespace MTStatusItemLogic;

constexpr std::int64_t A = MTStatusItemStateActive;
constexpr std::int64_t B = MTStatusItemStateBlinking;
constexpr std::int64_t D = MTStatusItemStateDark;
constexpr std::int64_t P = MTStatusItemStateBlinkPhase;

struct ColourCase {
  std::int64_t state;
  bool white;
  const char* key;
};

TEST(StatusItemState, ColourAndCacheKeyFollowTheBits) {
  const ColourCase cases[] = {
      {0, false, "normal"},    {A, true, "active"},       {B, false, "normal"},  // blinking, dark phase
      {B | P, true, "active"},                                                   // blinking, lit phase
      {P, false, "normal"},                        // a phase without blinking means nothing
      {A | B, true, "active"}, {D, true, "dark"},  // dark wins over everything
      {D | A, true, "dark"},   {D | B | P, true, "dark"}, {A | B | D | P, true, "dark"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("state " + std::to_string(c.state));
    EXPECT_EQ(iconIsWhite(c.state), c.white);
    EXPECT_STREQ(colorKey(c.state), c.key);
  }
}

struct TransitionCase {
  const char* name;
  std::int64_t before;
  std::int64_t (*step)(std::int64_t);
  std::int64_t after;
};

TEST(StatusItemState, TransitionsTouchOnlyTheirBits) {
  const TransitionCase cases[] = {
      {"activate", B | D, [](std::int64_t s) { return withActive(s, true); }, A | B | D},
      {"deactivate", A | B | P, [](std::int64_t s) { return withActive(s, false); }, B | P},
      {"toggle on", D, toggledActive, A | D},
      {"toggle off", A | D, toggledActive, D},
      {"start blinking", A, startedBlinking, A | B},
      {"stop clears the phase too", B | P | D, stoppedBlinking, D},
      {"stop while not blinking", A, stoppedBlinking, A},
      {"tick flips the phase", B, afterBlinkTick, B | P},
      {"tick flips it back", B | P, afterBlinkTick, B},
      {"active never blinks", A | B, afterBlinkTick, A | B},
      {"active keeps its phase", A | B | P, afterBlinkTick, A | B | P},
      {"tick without blinking", D, afterBlinkTick, D},
      {"dark on", A, [](std::int64_t s) { return withDarkAppearance(s, true); }, A | D},
      {"dark again changes nothing", A | D, [](std::int64_t s) { return withDarkAppearance(s, true); },
       A | D},
      {"dark off", D | B, [](std::int64_t s) { return withDarkAppearance(s, false); }, B},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.step(c.before), c.after);
  }
}

TEST(StatusItemState, ABlinkingItemAlternatesUntilStoppedAndNeverStaysLit) {
  std::int64_t state = startedBlinking(0);
  std::string colours;
  for (int tick = 0; tick < 4; ++tick) {
    state = afterBlinkTick(state);
    colours += colorKey(state)[0];
  }
  EXPECT_EQ(colours, "anan");
  state = afterBlinkTick(state);  // lit
  ASSERT_TRUE(iconIsWhite(state));
  state = stoppedBlinking(state);
  EXPECT_FALSE(iconIsWhite(state));
  EXPECT_EQ(state, 0);
}

TEST(StatusItemState, OnlyControlAloneOpensTheMenu) {
  struct Case {
    const char* name;
    std::uint64_t flags;
    bool menu;
  };
  const Case cases[] = {
      {"plain", 0, false},
      {"control", MTEventModifierFlagControl, true},
      {"control with device bits below 16", MTEventModifierFlagControl | 0x0101, true},
      {"control and shift", MTEventModifierFlagControl | MTEventModifierFlagShift, false},
      {"control and option", MTEventModifierFlagControl | MTEventModifierFlagOption, false},
      {"control and command", MTEventModifierFlagControl | MTEventModifierFlagCommand, false},
      {"control with caps lock", MTEventModifierFlagControl | MTEventModifierFlagCapsLock, false},
      {"shift", MTEventModifierFlagShift, false},
      {"control with a high bit beyond 31", MTEventModifierFlagControl | (1ULL << 40), true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(clickOpensMenu(c.flags), c.menu);
  }
}

TEST(StatusItemState, LayoutOfIconBadgeAndWidth) {
  struct Case {
    const char* name;
    QSizeF image;  // empty: no icon
    QSizeF text;   // empty: no badge
    QRectF imageRect;
    QRectF badgeRect;
    double length;
  };
  const QRectF bounds24(0, 0, 24, MTStatusItemThickness);
  const Case cases[] = {
      {"icon alone is centred", {16, 16}, {}, {4, 3, 16, 16}, {}, 24},
      {"odd sizes round to whole points", {15, 15}, {}, {5, 4, 15, 15}, {}, 24},
      // 16 + 6 + 30 + 6 = 58.
      {"a badge 30 wide after a 16-wide icon", {16, 16}, {30, 14}, {3, 3, 16, 16}, {22, 3, 30, 14}, 58},
      {"a badge without an icon counts the icon as 0", {}, {30, 14}, {}, {6, 3, 30, 14}, 42},
      {"a short badge keeps the base width", {16, 16}, {1, 14}, {3, 3, 16, 16}, {22, 3, 1, 14}, 29},
      {"no icon and no badge", {}, {}, {}, {}, 24},
      {"fractional text covers whole pixels", {16, 16}, {10.4, 13.5}, {3, 3, 16, 16}, {22, 2, 11, 14}, 39},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const bool badge = !c.text.isEmpty();
    EXPECT_EQ(imageDrawingRect(bounds24, c.image, badge), c.imageRect);
    const QRectF badgeRect =
        badgeDrawingRect(bounds24, c.image.isEmpty() ? 0 : c.image.width(), c.text, badge);
    EXPECT_EQ(badgeRect, c.badgeRect);
    EXPECT_EQ(length(badgeRect), c.length);
  }
}

}  // namespace
