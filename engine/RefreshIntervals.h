#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The fixed set of refresh intervals: each has its own run queue, and every module's interval is
// snapped to one of them. The module manager and the show runner expose these as their own class
// operations; they read nothing but this table.

struct QVRefreshInterval {
  std::string title;      // "1 minute"
  std::int64_t interval;  // seconds
  bool operator==(const QVRefreshInterval&) const = default;
};

// The interval of a module whose manifest gives none: one hour.
inline constexpr double kQVDefaultRefreshInterval = 3600;
// No interval: a manifest without a minimum, or a missing interval before snapping.
inline constexpr double kQVNoRefreshInterval = -1;

// The nine entries from "5 seconds (Doesn't update in background)" to "24 hours", in order.
const std::vector<QVRefreshInterval>& availableRefreshIntervals();

// The entries a module with this minimum interval may use, in table order: those not below the
// minimum; the whole table for kQVNoRefreshInterval (or a minimum that is not a number).
std::vector<QVRefreshInterval> availableRefreshIntervalsForMinimum(double minimumRefreshInterval);

// Snaps an interval to the nearest table entry (ties go up). kQVNoRefreshInterval stays -1, or becomes
// the default interval when one is asked for.
double closestAvailableTimeIntervalWithInterval(double interval, bool returnDefaultInterval);
