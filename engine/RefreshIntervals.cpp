#include "engine/RefreshIntervals.h"

#include <cmath>

#include "engine/NSArray+NearestValue.h"

const std::vector<QVRefreshInterval>& availableRefreshIntervals() {
  static const std::vector<QVRefreshInterval> table = {
      {"5 seconds (Doesn't update in background)", 5},
      {"30 seconds (Doesn't update in background)", 30},
      {"1 minute", 60},
      {"5 minutes", 300},
      {"10 minutes", 600},
      {"30 minutes", 1800},
      {"1 hour", 3600},
      {"12 hours", 43200},
      {"24 hours", 86400},
  };
  return table;
}

std::vector<QVRefreshInterval> availableRefreshIntervalsForMinimum(double minimumRefreshInterval) {
  if (minimumRefreshInterval == kQVNoRefreshInterval || std::isnan(minimumRefreshInterval)) {
    return availableRefreshIntervals();
  }
  std::vector<QVRefreshInterval> allowed;
  for (const auto& entry : availableRefreshIntervals()) {
    if (static_cast<double>(entry.interval) >= minimumRefreshInterval) allowed.push_back(entry);
  }
  return allowed;
}

double closestAvailableTimeIntervalWithInterval(double interval, bool returnDefaultInterval) {
  if (interval == kQVNoRefreshInterval)
    return returnDefaultInterval ? kQVDefaultRefreshInterval : kQVNoRefreshInterval;
  static const std::vector<double> intervals = [] {
    std::vector<double> values;
    for (const auto& entry : availableRefreshIntervals())
      values.push_back(static_cast<double>(entry.interval));
    return values;
  }();
  // The table is never empty, so there is always a nearest entry; it is read back at single precision.
  return static_cast<float>(*zk_nearestValueWithNumber(intervals, interval));
}
