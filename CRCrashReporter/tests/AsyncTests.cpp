#include <gtest/gtest.h>

#include "crcrash_async.h"

TEST(CrashAsync, StrerrorCoversTheTable) {
  EXPECT_STREQ(crcrash_async_strerror(0), "No error");
  EXPECT_STREQ(crcrash_async_strerror(9), "The input data is in an unknown or invalid format.");
  EXPECT_STREQ(crcrash_async_strerror(10), "Unhandled error code");
}
