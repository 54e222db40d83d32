#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <memory>

#include "engine/ZKTimer.h"
#include "testing/Sandbox.h"

namespace {

using Clock = std::chrono::steady_clock;

class ZKTimerTest : public qvtesting::SandboxTest {
 protected:
  // Runs the queue until a marker set after `seconds` fires: steady timers fire in deadline order, so
  // any timer due earlier has had its chance by then.
  void runPast(double seconds) {
    bool passed = false;
    auto marker = mainQueue().postAfter(platform::Seconds(seconds), [&] { passed = true; });
    ASSERT_TRUE(runUntil([&] { return passed; }));
  }
};

struct Receiver {
  int fired = 0;
  ZKTimer* sender = nullptr;
  void timerDidFire(ZKTimer& timer) {
    ++fired;
    sender = &timer;
  }
  void tick() { ++fired; }
};

TEST_F(ZKTimerTest, DebouncedBurstFiresOnceAfterTheLastCall) {
  int fired = 0;
  std::shared_ptr<ZKTimer> pending;
  Clock::time_point lastCall;
  Clock::time_point firedAt;
  for (int i = 0; i < 10; ++i) {
    if (pending) pending->invalidate();
    pending = ZKTimer::timerWithInterval(0.1, false, [&](ZKTimer&) {
      ++fired;
      firedAt = Clock::now();
    });
    lastCall = Clock::now();
  }
  ASSERT_TRUE(runUntil([&] { return fired > 0; }));
  runPast(0.2);
  EXPECT_EQ(fired, 1);
  EXPECT_GE(firedAt - lastCall, std::chrono::milliseconds(100));
  EXPECT_FALSE(pending->isValid());
}

TEST_F(ZKTimerTest, ScheduledTimerKeepsItselfAliveUntilItFires) {
  int fired = 0;
  std::weak_ptr<ZKTimer> weak;
  {
    auto timer = ZKTimer::timerWithInterval(0.01, false, [&](ZKTimer&) { ++fired; });
    weak = timer;
  }
  EXPECT_FALSE(weak.expired());
  ASSERT_TRUE(runUntil([&] { return fired == 1; }));
  // A one-shot timer lets go of itself once it has fired.
  EXPECT_TRUE(runUntil([&] { return weak.expired(); }));
}

TEST_F(ZKTimerTest, ReleasingAnUnscheduledTimerInvalidatesIt) {
  int fired = 0;
  std::weak_ptr<ZKTimer> weak;
  {
    auto timer = ZKTimer::timerWithInterval(0.02, true, [&](ZKTimer&) { ++fired; });
    timer->invalidateTimerOnly();
    EXPECT_FALSE(timer->isValid());
    weak = timer;
  }
  EXPECT_TRUE(weak.expired());
  runPast(0.1);
  EXPECT_EQ(fired, 0);
}

TEST_F(ZKTimerTest, RepeatingTimerFiresUntilInvalidated) {
  int fired = 0;
  auto timer = ZKTimer::timerWithInterval(0.005, true, [&](ZKTimer&) { ++fired; });
  ASSERT_TRUE(runUntil([&] { return fired >= 3; }));
  EXPECT_TRUE(timer->isValid());
  timer->invalidate();
  int seen = fired;
  runPast(0.05);
  EXPECT_EQ(fired, seen);
}

TEST_F(ZKTimerTest, BlockMayInvalidateItsOwnTimer) {
  int fired = 0;
  auto timer = ZKTimer::timerWithInterval(0.005, true, [&](ZKTimer& self) {
    ++fired;
    self.invalidate();
  });
  ASSERT_TRUE(runUntil([&] { return fired == 1; }));
  runPast(0.05);
  EXPECT_EQ(fired, 1);
  EXPECT_FALSE(timer->isValid());
}

TEST_F(ZKTimerTest, InvalidateAfterFiringOrTwiceIsHarmless) {
  int fired = 0;
  auto timer = ZKTimer::timerWithInterval(0.005, false, [&](ZKTimer&) { ++fired; });
  ASSERT_TRUE(runUntil([&] { return fired == 1; }));
  timer->invalidate();
  timer->invalidate();
  timer->invalidateTimerOnly();
  EXPECT_FALSE(timer->isValid());
  // The block was dropped, so running again schedules a timer that does nothing.
  timer->run();
  runPast(0.05);
  timer->invalidate();
  EXPECT_EQ(fired, 1);
}

TEST_F(ZKTimerTest, RunRestartsAfterInvalidateTimerOnly) {
  int fired = 0;
  auto timer = ZKTimer::timerWithInterval(0.01, false, [&](ZKTimer&) { ++fired; });
  timer->invalidateTimerOnly();
  timer->run();
  timer->run();  // restarting twice still gives one firing
  ASSERT_TRUE(runUntil([&] { return fired == 1; }));
  runPast(0.05);
  EXPECT_EQ(fired, 1);
}

TEST_F(ZKTimerTest, TargetActionForms) {
  auto receiver = std::make_shared<Receiver>();
  auto withSender = ZKTimer::timerWithInterval(0.005, false, receiver, &Receiver::timerDidFire);
  auto withoutSender = ZKTimer::timerWithInterval(0.005, false, receiver, &Receiver::tick);
  auto callable =
      ZKTimer::timerWithInterval(0.005, false, receiver, [](Receiver& r, ZKTimer&) { r.fired += 10; });
  ASSERT_TRUE(runUntil([&] { return receiver->fired == 12; }));
  EXPECT_EQ(receiver->sender, withSender.get());
}

TEST_F(ZKTimerTest, ReleasedTargetMakesTheFiringDoNothing) {
  int calls = 0;
  auto receiver = std::make_shared<Receiver>();
  std::weak_ptr<Receiver> weakReceiver = receiver;
  auto timer = ZKTimer::timerWithInterval(0.005, true, receiver, [&](Receiver&, ZKTimer&) { ++calls; });
  receiver.reset();
  EXPECT_TRUE(weakReceiver.expired());  // the timer does not keep its target
  ASSERT_TRUE(runUntil([&] { return !timer->isValid(); }));
  EXPECT_EQ(calls, 0);
}

TEST_F(ZKTimerTest, OddIntervalsStillSchedule) {
  for (double interval : {0.0, -5.0, std::nan("")}) {
    int fired = 0;
    auto timer = ZKTimer::timerWithInterval(interval, false, [&](ZKTimer&) { ++fired; });
    EXPECT_TRUE(runUntil([&] { return fired == 1; })) << interval;
  }
  auto far = ZKTimer::timerWithInterval(1e300, false, [](ZKTimer&) {});
  EXPECT_TRUE(far->isValid());
  far->invalidate();
}

TEST_F(ZKTimerTest, Description) {
  auto timer = ZKTimer::timerWithInterval(0.1, false, std::string("save"), [](ZKTimer&) {});
  std::string text = timer->description();
  EXPECT_EQ(text.rfind("<ZKTimer 0x", 0), 0u) << text;
  EXPECT_NE(text.find(", interval=0.100000, repeats=NO, userInfo=save>"), std::string::npos) << text;
  EXPECT_EQ(std::any_cast<std::string>(timer->userInfo()), "save");
  timer->invalidate();
  auto plain = ZKTimer::timerWithInterval(2, true, [](ZKTimer&) {});
  EXPECT_NE(plain->description().find("interval=2.000000, repeats=YES, userInfo=(null)>"), std::string::npos);
  plain->invalidate();
}

TEST(ZKTimerWithoutQueue, StaysUnscheduledAndIsFreed) {
  auto saved = platform::MainQueue::shared();
  platform::MainQueue::install(nullptr);
  std::weak_ptr<ZKTimer> weak;
  {
    auto timer = ZKTimer::timerWithInterval(0.01, false, [](ZKTimer&) {});
    EXPECT_FALSE(timer->isValid());
    weak = timer;
  }
  EXPECT_TRUE(weak.expired());
  platform::MainQueue::install(saved);
}

}  // namespace
