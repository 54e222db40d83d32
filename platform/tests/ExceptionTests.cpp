#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <thread>

#include "platform/Exception.h"

namespace {

__attribute__((noinline)) platform::Exception make_here() {
  return platform::Exception("QVTest", "made here");
}

TEST(Exception, NameReasonAndTheStackItWasMadeOn) {
  platform::Exception exception = make_here();
  EXPECT_EQ(exception.name(), "QVTest");
  EXPECT_EQ(exception.reason(), "made here");
  EXPECT_STREQ(exception.what(), "made here");
  EXPECT_GE(exception.callStackReturnAddresses().size(), 2u);
}

void report_and_exit(const platform::Exception& exception) {
  std::fprintf(stderr, "uncaught %s: %s\n", exception.name().c_str(), exception.reason().c_str());
  std::_Exit(3);
}

TEST(ExceptionDeathTest, UncaughtExceptionReachesTheHandler) {
  EXPECT_EQ(platform::uncaughtExceptionHandler(), nullptr);
  EXPECT_EXIT(
      {
        platform::setUncaughtExceptionHandler(report_and_exit);
        // Thrown on a thread of its own, where nothing (not even the test framework) catches it.
        std::thread([] { throw platform::Exception("QVTest", "nobody caught it"); }).join();
      },
      ::testing::ExitedWithCode(3), "uncaught QVTest: nobody caught it");
}

}  // namespace
