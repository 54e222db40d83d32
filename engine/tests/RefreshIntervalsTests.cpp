#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "engine/RefreshIntervals.h"

namespace {

TEST(RefreshIntervals, TableInOrder) {
  const std::vector<QVRefreshInterval> expected = {
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
  EXPECT_EQ(availableRefreshIntervals(), expected);
}

TEST(RefreshIntervals, FilterByMinimum) {
  struct Case {
    double minimum;
    std::size_t count;
    const char* first;
  } cases[] = {
      {-1, 9, "5 seconds (Doesn't update in background)"},
      {300, 6, "5 minutes"},
      {301, 5, "10 minutes"},
      {0, 9, "5 seconds (Doesn't update in background)"},
      {86400, 1, "24 hours"},
      {std::nan(""), 9, "5 seconds (Doesn't update in background)"},
  };
  for (const auto& c : cases) {
    auto allowed = availableRefreshIntervalsForMinimum(c.minimum);
    ASSERT_EQ(allowed.size(), c.count) << c.minimum;
    EXPECT_EQ(allowed.front().title, c.first) << c.minimum;
    EXPECT_EQ(allowed.back().title, "24 hours") << c.minimum;
  }
  EXPECT_TRUE(availableRefreshIntervalsForMinimum(100000).empty());
}

TEST(RefreshIntervals, Snapping) {
  struct Case {
    double interval;
    bool returnDefault;
    double expected;
  } cases[] = {
      {-1, true, 3600},      {-1, false, -1},
      {17.5, false, 30},     {17.5, true, 30},
      {17, false, 5},        {100000, false, 86400},
      {0, false, 5},         {-2, true, 5},
      {3600, false, 3600},   {2700, false, 3600},
      {2699, false, 1800},   {64800, false, 86400},
      {64799, false, 43200}, {std::numeric_limits<double>::infinity(), false, 86400},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(closestAvailableTimeIntervalWithInterval(c.interval, c.returnDefault), c.expected)
        << c.interval << " " << c.returnDefault;
  }
}

}  // namespace
