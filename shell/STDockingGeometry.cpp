#include "shell/STDockingGeometry.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <sstream>

namespace STDockingGeometry {

namespace {

std::int64_t overlapArea(const QRect& a, const QRect& b) {
  const QRect overlap = a.intersected(b);
  return overlap.isEmpty() ? 0 : std::int64_t(overlap.width()) * overlap.height();
}

std::int64_t distanceSquared(const QPoint& point, const QRect& rect) {
  const std::int64_t dx = point.x() < rect.left()    ? rect.left() - point.x()
                          : point.x() > rect.right() ? point.x() - rect.right()
                                                     : 0;
  const std::int64_t dy = point.y() < rect.top()      ? rect.top() - point.y()
                          : point.y() > rect.bottom() ? point.y() - rect.bottom()
                                                      : 0;
  return dx * dx + dy * dy;
}

// Keeps a span of `size` starting at `position` inside [low, high): the far edge first, then the near
// one, so a span larger than the room starts at its near edge.
int clampSpan(int position, int size, int low, int high) {
  position = std::min(position, high - size);
  return std::max(position, low);
}

}  // namespace

int screenIndexForItem(const QRect& itemFrame, const std::vector<STScreenArea>& screens) {
  if (screens.empty()) return -1;
  const QPoint centre = itemFrame.center();
  for (std::size_t i = 0; i < screens.size(); ++i) {
    if (screens[i].geometry.contains(centre)) return int(i);
  }
  int best = -1;
  std::int64_t bestArea = 0;
  for (std::size_t i = 0; i < screens.size(); ++i) {
    const auto area = overlapArea(itemFrame, screens[i].geometry);
    if (area > bestArea) {
      bestArea = area;
      best = int(i);
    }
  }
  if (best >= 0) return best;
  std::int64_t bestDistance = INT64_MAX;
  for (std::size_t i = 0; i < screens.size(); ++i) {
    const auto distance = distanceSquared(centre, screens[i].geometry);
    if (distance < bestDistance) {
      bestDistance = distance;
      best = int(i);
    }
  }
  return best;
}

QRect dockedFrame(const QRect& itemFrame, QSize windowSize, const std::vector<STScreenArea>& screens) {
  const int width = windowSize.width();
  const int height = windowSize.height();
  if (screens.empty()) {
    // Nothing to keep it on: centred under the item as it is.
    return QRect(itemFrame.x() + int(std::lround(itemFrame.width() * 0.5 - width * 0.5)),
                 itemFrame.y() + itemFrame.height(), width, height);
  }
  if (itemFrame.isEmpty()) {
    const QRect area = screens.front().available;
    return QRect(area.x() + (area.width() - width) / 2, area.y(), width, height);
  }
  const STScreenArea& screen = screens[std::size_t(screenIndexForItem(itemFrame, screens))];
  const QRect area = screen.available.isEmpty() ? screen.geometry : screen.available;
  const double centreX = itemFrame.x() + itemFrame.width() * 0.5;
  const double centreY = itemFrame.y() + itemFrame.height() * 0.5;

  int x = int(std::lround(centreX - width * 0.5));
  int y;
  if (centreX < area.left()) {
    // A panel on the left: the window opens to the right of the item.
    x = itemFrame.x() + itemFrame.width();
    y = itemFrame.y();
  } else if (centreX > area.x() + area.width()) {
    // A panel on the right: the window opens to the left of the item.
    x = itemFrame.x() - width;
    y = itemFrame.y();
  } else if (centreY < screen.geometry.y() + screen.geometry.height() * 0.5) {
    // The top edge meets the item's bottom edge.
    y = itemFrame.y() + itemFrame.height();
  } else {
    // A panel at the bottom: the window's bottom edge meets the item's top edge.
    y = itemFrame.y() - height;
  }
  x = clampSpan(x, width, area.x(), area.x() + area.width());
  y = clampSpan(y, height, area.y(), area.y() + area.height());
  return QRect(x, y, width, height);
}

std::optional<double> arrowPosition(const QRect& itemFrame, const QRect& windowFrame) {
  if (itemFrame.isEmpty() || windowFrame.isEmpty()) return std::nullopt;
  const double centreX = itemFrame.x() + itemFrame.width() * 0.5;
  const double centreY = itemFrame.y() + itemFrame.height() * 0.5;
  const double offset = centreX - windowFrame.x();
  if (windowFrame.y() < centreY || offset < 0 || offset > windowFrame.width()) return std::nullopt;
  return offset;
}

std::string frameString(const QRect& frame, const QRect& screenAvailable) {
  std::ostringstream text;
  text << frame.x() << ' ' << frame.y() << ' ' << frame.width() << ' ' << frame.height() << ' '
       << screenAvailable.x() << ' ' << screenAvailable.y() << ' ' << screenAvailable.width() << ' '
       << screenAvailable.height();
  return text.str();
}

std::optional<QRect> frameFromString(const std::string& text, const std::vector<STScreenArea>& screens) {
  std::istringstream input(text);
  long long values[4];
  for (auto& value : values) {
    if (!(input >> value)) return std::nullopt;
    if (value < INT_MIN / 4 || value > INT_MAX / 4) return std::nullopt;
  }
  if (values[2] <= 0 || values[3] <= 0) return std::nullopt;
  QRect frame{int(values[0]), int(values[1]), int(values[2]), int(values[3])};
  const bool shown = std::any_of(screens.begin(), screens.end(), [&](const STScreenArea& screen) {
    return frame.intersects(screen.available.isEmpty() ? screen.geometry : screen.available);
  });
  if (!shown && !screens.empty()) {
    const QRect area =
        screens.front().available.isEmpty() ? screens.front().geometry : screens.front().available;
    frame.setSize(frame.size().boundedTo(area.size()));
    frame.moveCenter(area.center());
  }
  return frame;
}

}  // namespace STDockingGeometry
