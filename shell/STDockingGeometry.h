#pragma once

#include <QtCore/QRect>
#include <QtCore/QSize>
#include <optional>
#include <string>
#include <vector>

// Where the dockable window goes, as plain values: the screens are given, so every rule is tested on
// tables of desktops. Coordinates are the desktop's (y grows downwards).

// One screen of the desktop: its whole area and the part panels leave free.
struct STScreenArea {
  QRect geometry;
  QRect available;
};

namespace STDockingGeometry {

// The screen that holds the item: the one containing the item's centre, else the one it overlaps
// most, else the nearest; -1 only when there are no screens.
int screenIndexForItem(const QRect& itemFrame, const std::vector<STScreenArea>& screens);

// The frame of a window of `windowSize` docked at the status item of `itemFrame`. The window is
// centred on the item and hangs below it when the item lies in the upper half of its screen (a top
// panel), or stands on it when the item lies in the lower half (a bottom panel); an item in a side
// panel (left or right of the free area) gets the window beside it, top edges aligned. The frame is
// then kept inside the free area of the item's screen: the right edge first, then the left and top
// edges, which win over the right and bottom ones for a window larger than the area. Without an item
// (no frame known yet) the window hangs from the top of the first screen's free area, centred.
QRect dockedFrame(const QRect& itemFrame, QSize windowSize, const std::vector<STScreenArea>& screens);

// Where the arrow at the top edge of a window docked at `windowFrame` points up at the item of
// `itemFrame`: the item's centre, as a distance from the window's left edge. A window kept on the
// screen beside an item near the screen's edge is no longer centred on the item; its arrow still is.
// nullopt when no item is known or the window does not hang below the item (a panel at another
// edge), where the arrow keeps to the middle of the window.
std::optional<double> arrowPosition(const QRect& itemFrame, const QRect& windowFrame);

// The stored form of a floating window's frame: "x y width height" followed by the free area of the
// screen it was on, all whole numbers.
std::string frameString(const QRect& frame, const QRect& screenAvailable);
// The frame a stored form describes, moved back onto the desktop when no screen shows any of it any
// more (centred in the first screen's free area); nullopt for text that is not such a form or a frame
// of no size.
std::optional<QRect> frameFromString(const std::string& text, const std::vector<STScreenArea>& screens);

}  // namespace STDockingGeometry
