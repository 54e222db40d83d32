#include <gtest/gtest.h>

#include "engine/NSString+NumericCompare.h"

namespace {

TEST(NumericCompare, OrdersDigitRunsByValue) {
  struct Case {
    const char* a;
    const char* b;
    int order;
  } cases[] = {
      {"2.10", "2.9", 1},
      {"2.9", "2.10", -1},
      {"1.0", "1.0", 0},
      {"1.0.1", "1.0", 1},
      {"1.0", "1.0.1", -1},
      {"007", "7", 0},
      {"1.02", "1.2", 0},
      {"10", "9", 1},
      {"1.0a", "1.0b", -1},
      {"1.0", "1.0b", -1},
      {"", "", 0},
      {"", "1", -1},
      {"99999999999999999999999", "99999999999999999999998", 1},  // beyond 64 bits
      {"1.0.0", "1.0.0", 0},
      {"a10", "a9", 1},
  };
  for (const auto& c : cases) EXPECT_EQ(zk_compareNumeric(c.a, c.b), c.order) << c.a << " vs " << c.b;
}

}  // namespace
