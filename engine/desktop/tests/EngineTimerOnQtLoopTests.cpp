#include <gtest/gtest.h>

#include <memory>

#include "engine/ZKTimer.h"
#include "platform/desktop/testing/GuiTest.h"

namespace {

class EngineTimerOnQtLoopTest : public qvtesting::GuiTest {};

// The engine's debounced timers run unchanged on the Qt loop: a burst of restarts gives one firing.
TEST_F(EngineTimerOnQtLoopTest, BurstOfRestartsFiresOnce) {
  int firings = 0;
  std::shared_ptr<ZKTimer> pending;
  for (int i = 0; i < 5; ++i) {
    if (pending) pending->invalidate();
    pending = ZKTimer::timerWithInterval(0.05, false, [&](ZKTimer&) { ++firings; });
  }
  ASSERT_TRUE(runUntil([&] { return firings == 1; }));
  runFor(0.1);
  EXPECT_EQ(firings, 1);
}

}  // namespace
