#include <algorithm>
#include <cmath>

#include "engine/NSArray+NearestValue.h"

std::optional<double> zk_nearestValueWithNumber(const std::vector<double>& sortedValues, double number) {
  if (sortedValues.empty()) return std::nullopt;
  // The first member equal to the number, else the first one greater (the insertion index).
  auto index = static_cast<std::size_t>(std::lower_bound(sortedValues.begin(), sortedValues.end(), number) -
                                        sortedValues.begin());
  index = std::min(index, sortedValues.size() - 1);
  if (index > 0) {
    double below = static_cast<float>(sortedValues[index - 1]);
    double above = static_cast<float>(sortedValues[index]);
    // Strictly nearer below moves down; a tie (or a distance that is not a number) stays up.
    if (std::fabs(above - number) > std::fabs(below - number)) --index;
  }
  return sortedValues[index];
}
