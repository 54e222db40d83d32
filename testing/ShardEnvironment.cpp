// A test program run as one shard of its tests (GTEST_TOTAL_SHARDS and GTEST_SHARD_INDEX, as the
// sanitizer build's CTest entries do) keeps the shard to itself: several tests start the test program
// again as a child with --gtest_filter naming one test, and a child that inherited the shard variables
// would run its own shard of that one test, mostly none. GoogleTest has chosen the shard's tests before
// it sets up the global environments, so the variables can go then.
#include <gtest/gtest.h>

#include <cstdlib>

namespace {

class ShardVariablesStayInThisProcess : public ::testing::Environment {
 public:
  void SetUp() override {
    ::unsetenv("GTEST_TOTAL_SHARDS");
    ::unsetenv("GTEST_SHARD_INDEX");
    ::unsetenv("GTEST_SHARD_STATUS_FILE");
  }
};

[[maybe_unused]] ::testing::Environment* const kShardVariablesStayInThisProcess =
    ::testing::AddGlobalTestEnvironment(new ShardVariablesStayInThisProcess);

}  // namespace
