#pragma once

#include <QtCore/QRectF>
#include <optional>

#include "uikit/ZKBezierPath.h"

// The outline of the dashboard's docked header, in the kit's y-up coordinates over `bounds`: a body
// one point wider and ten points lower than the bounds, with rounded top corners (radius 5) and square
// bottom ones, and, when asked, a 30-point arrow with a rounded tip rising into the ten points left at
// the top from the middle of the body's top edge (the arrow comes first in the path).
ZKBezierPath zk_windowPathForBounds(const QRectF& bounds, bool showsArrow);
// The same outline with the arrow's tip at `arrowMiddle` (a distance from the bounds' left edge)
// instead of the middle, for a window kept on the screen beside the item its arrow points at. The tip
// stays over the body; a flank that would pass the body's side edge is narrowed to end at it.
ZKBezierPath zk_windowPathForBounds(const QRectF& bounds, bool showsArrow, double arrowMiddle);

// The path as a closed outline for a shape: the same elements, with the last subpath closed when it
// was left open; nullopt for a path without elements.
std::optional<ZKBezierPath> zk_CGPathRef(const ZKBezierPath& path);
