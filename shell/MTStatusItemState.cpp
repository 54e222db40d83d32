#include "shell/MTStatusItemState.h"

#include <algorithm>
#include <cmath>

#include "uikit/ZKDesignGeometry.h"

namespace MTStatusItemLogic {

std::int64_t withActive(std::int64_t state, bool active) {
  return active ? (state | MTStatusItemStateActive) : (state & ~MTStatusItemStateActive);
}

std::int64_t toggledActive(std::int64_t state) { return state ^ MTStatusItemStateActive; }

std::int64_t startedBlinking(std::int64_t state) { return state | MTStatusItemStateBlinking; }

std::int64_t stoppedBlinking(std::int64_t state) {
  return state & ~(MTStatusItemStateBlinking | MTStatusItemStateBlinkPhase);
}

std::int64_t afterBlinkTick(std::int64_t state) {
  if ((state & MTStatusItemStateActive) == 0 && (state & MTStatusItemStateBlinking) != 0) {
    return state ^ MTStatusItemStateBlinkPhase;
  }
  return state;
}

std::int64_t withDarkAppearance(std::int64_t state, bool dark) {
  return dark ? (state | MTStatusItemStateDark) : (state & ~MTStatusItemStateDark);
}

namespace {

bool isLit(std::int64_t state) {
  const std::int64_t blinkLit = MTStatusItemStateBlinking | MTStatusItemStateBlinkPhase;
  return (state & MTStatusItemStateActive) != 0 || (state & blinkLit) == blinkLit;
}

}  // namespace

bool iconIsWhite(std::int64_t state) { return isLit(state) || (state & MTStatusItemStateDark) != 0; }

const char* colorKey(std::int64_t state) {
  if (state & MTStatusItemStateDark) return "dark";
  return isLit(state) ? "active" : "normal";
}

bool clickOpensMenu(std::uint64_t modifierFlags) {
  // Only the device-independent modifier bits (16 to 31) count.
  return (modifierFlags & 0xFFFF0000ULL) == MTEventModifierFlagControl;
}

QRectF imageDrawingRect(const QRectF& bounds, QSizeF imageSize, bool hasBadge) {
  if (imageSize.isEmpty()) return QRectF();
  // Centred in the bounds either way up, so no y-up restatement is needed for the centred case.
  const double x =
      hasBadge ? MTStatusItemIconMargin : std::round(bounds.center().x() - imageSize.width() / 2);
  const double y = std::round(bounds.center().y() - imageSize.height() / 2);
  return QRectF(QPointF(x, y), imageSize);
}

QRectF badgeDrawingRect(const QRectF& bounds, double imageWidth, QSizeF textSize, bool hasBadge) {
  if (!hasBadge) return QRectF();
  const double x = imageWidth + MTStatusItemIconMargin + MTStatusItemBadgeGap;
  // Stated with y growing upwards in the item: one point above the centred position.
  const double designY = std::ceil(bounds.height() / 2 - textSize.height() / 2) + 1.0;
  const QRectF design(x, designY, textSize.width(), textSize.height());
  const QRectF rect = ZKDesignGeometry::toQt(design, bounds.height());
  // On whole pixels, covering the measured text.
  const double left = std::floor(rect.left());
  const double top = std::floor(rect.top());
  return QRectF(left, top, std::ceil(rect.right()) - left, std::ceil(rect.bottom()) - top);
}

double length(const QRectF& badgeRect) {
  const double wanted =
      badgeRect.isNull() ? MTStatusItemBaseLength : badgeRect.right() + MTStatusItemTrailingMargin;
  return std::round(std::max(MTStatusItemBaseLength, wanted));
}

}  // namespace MTStatusItemLogic
