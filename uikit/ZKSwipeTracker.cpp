#include "uikit/ZKSwipeTracker.h"

#include <cmath>

void ZKSwipeTracker::begin(const std::vector<Touch>& touches) {
  began_.clear();
  for (const auto& touch : touches) began_[touch.identity] = touch.normalizedX;
}

ZKSwipeTracker::Swipe ZKSwipeTracker::end(const std::vector<Touch>& touches) {
  if (began_.empty()) return Swipe::None;
  std::vector<double> deltas;
  for (const auto& touch : touches) {
    auto it = began_.find(touch.identity);
    if (it != began_.end()) deltas.push_back(touch.normalizedX - it->second);
  }
  began_.clear();
  if (deltas.size() < 2) return Swipe::None;
  // Summed in single precision and compared with 0.3 in double, as the gesture always was.
  float sum = 0;
  for (double delta : deltas) sum += static_cast<float>(delta);
  if (std::fabs(static_cast<double>(sum)) < 0.3) return Swipe::None;
  return sum > 0 ? Swipe::Forward : Swipe::Back;
}
