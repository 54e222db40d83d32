#pragma once

#include <QtCore/QRectF>
#include <QtCore/QSizeF>
#include <cstdint>

// The status item's states and layout as plain values, apart from any drawing, so the view and its
// tests share one statement of the rules.

// Bits of the item's state.
inline constexpr std::int64_t MTStatusItemStateActive = 1;  // highlighted: menu open or window key
inline constexpr std::int64_t MTStatusItemStateBlinking = 4;
inline constexpr std::int64_t MTStatusItemStateDark = 8;         // dark appearance
inline constexpr std::int64_t MTStatusItemStateBlinkPhase = 16;  // flipped on every other blink tick

// The modifier flags of a click, with the bit values the stored hot keys use too.
inline constexpr std::uint64_t MTEventModifierFlagCapsLock = 1ULL << 16;
inline constexpr std::uint64_t MTEventModifierFlagShift = 1ULL << 17;
inline constexpr std::uint64_t MTEventModifierFlagControl = 1ULL << 18;
inline constexpr std::uint64_t MTEventModifierFlagOption = 1ULL << 19;
inline constexpr std::uint64_t MTEventModifierFlagCommand = 1ULL << 20;

// The status item's base width and the margins around its icon and badge.
inline constexpr double MTStatusItemBaseLength = 24.0;
inline constexpr double MTStatusItemIconMargin = 3.0;
inline constexpr double MTStatusItemBadgeGap = 3.0;
inline constexpr double MTStatusItemTrailingMargin = 6.0;
// The height of the item (the status bar's thickness).
inline constexpr double MTStatusItemThickness = 22.0;
// Seconds between two blink ticks.
inline constexpr double MTStatusItemBlinkInterval = 0.8;

namespace MTStatusItemLogic {

std::int64_t withActive(std::int64_t state, bool active);
std::int64_t toggledActive(std::int64_t state);
std::int64_t startedBlinking(std::int64_t state);
// Clears the blinking bit and the phase together, so the icon never stays in the blink colour.
std::int64_t stoppedBlinking(std::int64_t state);
// One blink tick: the phase flips while blinking and not active; otherwise nothing changes.
std::int64_t afterBlinkTick(std::int64_t state);
// Sets or clears the dark bit; the same state when it already says so.
std::int64_t withDarkAppearance(std::int64_t state, bool dark);

// Whether the icon is drawn white (else black): active, or in the lit blink phase, or dark.
bool iconIsWhite(std::int64_t state);
// The key under which the tinted icon of the state is cached: "active", "normal" or "dark".
const char* colorKey(std::int64_t state);

// Whether a primary click opens the menu instead: Control and no other modifier or lock key.
bool clickOpensMenu(std::uint64_t modifierFlags);

// Where the icon goes in the item's bounds (Qt coordinates): centred, or at the left edge when a
// badge follows it. A null rectangle when there is no image (an empty size).
QRectF imageDrawingRect(const QRectF& bounds, QSizeF imageSize, bool hasBadge);
// Where the badge text goes: right of the icon (an absent icon counts as width 0), centred one point
// above the middle, on whole pixels. A null rectangle without a badge.
QRectF badgeDrawingRect(const QRectF& bounds, double imageWidth, QSizeF textSize, bool hasBadge);
// The item's width: the base width, or wide enough for the badge with its trailing margin.
double length(const QRectF& badgeRect);

}  // namespace MTStatusItemLogic
