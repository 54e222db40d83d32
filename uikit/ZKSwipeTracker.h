#pragma once

#include <cstdint>
#include <map>
#include <vector>

// Tells a two-finger horizontal swipe from the touches at the start and the end of a gesture: the
// fingers' horizontal movements (in normalised positions, 0 to 1 across the touch surface) are summed;
// at least two fingers moving 0.3 or more together make a swipe, forward to the right and back to
// the left.
class ZKSwipeTracker {
 public:
  enum class Swipe { None, Back, Forward };
  struct Touch {
    std::int64_t identity;
    double normalizedX;
  };

  // Forgets an earlier gesture and keeps these touches.
  void begin(const std::vector<Touch>& touches);
  // Compares with the touches kept at the start (by identity) and forgets them.
  Swipe end(const std::vector<Touch>& touches);
  bool isTracking() const { return !began_.empty(); }

 private:
  std::map<std::int64_t, double> began_;
};
