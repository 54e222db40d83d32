#include <gtest/gtest.h>

#include <random>
#include <thread>
#include <vector>

#include "ConcurrencyHelpers.h"
#include "platform/DispatchTimer.h"
#include "testing/Sandbox.h"

using namespace platform;
using qvtesting::Gate;
using qvtesting::HighWaterMark;

namespace {

class DispatchTimerTest : public qvtesting::SandboxTest {
 protected:
  // Waits until a call queued after `delay` has run on the queue: every firing that was due before
  // it has had its chance to run by then.
  void settle(const std::shared_ptr<DispatchQueue>& queue, Seconds delay) {
    std::atomic<bool> reached{false};
    queue->after(delay, [&] { reached = true; });
    ASSERT_TRUE(runUntil([&] { return reached.load(); }));
    queue->sync([] {});
  }
};

TEST_F(DispatchTimerTest, RepeatsOnItsQueueUntilCancelled) {
  auto queue = DispatchQueue::serial("test.timer");
  std::atomic<int> fired{0};
  std::atomic<bool> onQueue{true};
  auto timer = DispatchTimer::make(queue, [&] {
    if (!queue->isCurrent()) onQueue = false;
    ++fired;
  });
  EXPECT_EQ(timer->queue(), queue);
  timer->start(Seconds(0.005), Seconds(0.001));
  ASSERT_TRUE(runUntil([&] { return fired >= 3; }));
  timer->cancel();
  EXPECT_TRUE(timer->isCancelled());
  int atCancel = fired;
  settle(queue, Seconds(0.05));
  EXPECT_EQ(fired.load(), atCancel);
  EXPECT_TRUE(onQueue);
  // A cancelled timer stays cancelled.
  timer->start(Seconds(0.001));
  settle(queue, Seconds(0.03));
  EXPECT_EQ(fired.load(), atCancel);
}

TEST_F(DispatchTimerTest, CancelFromAnotherThreadWaitsForTheRunningHandler) {
  auto queue = DispatchQueue::concurrent("test.timer-wait", 2);
  Gate entered;
  Gate proceed;
  std::atomic<int> fired{0};
  std::atomic<bool> handlerDone{false};
  auto timer = DispatchTimer::make(queue, [&] {
    ++fired;
    entered.open();
    proceed.wait();
    handlerDone = true;
  });
  timer->start(Seconds(0.001));
  ASSERT_TRUE(entered.wait());
  std::atomic<bool> cancelling{false};
  std::atomic<bool> doneWhenCancelReturned{false};
  std::thread canceller([&] {
    cancelling = true;
    timer->cancel();
    doneWhenCancelReturned = handlerDone.load();
  });
  ASSERT_TRUE(runUntil([&] { return cancelling.load(); }));
  proceed.open();
  canceller.join();
  EXPECT_TRUE(doneWhenCancelReturned);
  settle(queue, Seconds(0.03));
  EXPECT_EQ(fired.load(), 1);
}

TEST_F(DispatchTimerTest, CancelInsideTheHandlerEndsFiringAndReleasesTheHandler) {
  auto queue = DispatchQueue::serial("test.timer-self");
  std::atomic<int> fired{0};
  auto sentinel = std::make_shared<int>(0);
  std::weak_ptr<int> watch = sentinel;
  std::shared_ptr<DispatchTimer> timer;
  timer = DispatchTimer::make(queue, [&, sentinel = std::move(sentinel)] {
    if (++fired == 3) timer->cancel();
  });
  timer->start(Seconds(0.002));
  ASSERT_TRUE(runUntil([&] { return fired == 3; }));
  settle(queue, Seconds(0.03));
  EXPECT_EQ(fired.load(), 3);
  EXPECT_TRUE(watch.expired());
}

TEST_F(DispatchTimerTest, DestroyingTheTimerInsideItsHandlerIsSafe) {
  // A handler that ends by dropping its own timer, as a flush timer that resets itself does.
  auto queue = DispatchQueue::serial("test.timer-drop");
  std::atomic<int> fired{0};
  auto holder = std::make_shared<std::shared_ptr<DispatchTimer>>();
  *holder = DispatchTimer::make(queue, [&fired, weakHolder = std::weak_ptr(holder)] {
    ++fired;
    if (auto held = weakHolder.lock()) held->reset();
  });
  (*holder)->start(Seconds(0.002));
  ASSERT_TRUE(runUntil([&] { return fired == 1; }));
  settle(queue, Seconds(0.03));
  EXPECT_EQ(fired.load(), 1);
  queue->sync([&] { EXPECT_EQ(*holder, nullptr); });
}

TEST_F(DispatchTimerTest, DroppingTheTimerCancelsIt) {
  auto queue = DispatchQueue::serial("test.timer-dtor");
  std::atomic<int> fired{0};
  auto timer = DispatchTimer::make(queue, [&] { ++fired; });
  timer->start(Seconds(0.002));
  ASSERT_TRUE(runUntil([&] { return fired >= 1; }));
  timer.reset();
  int atDrop = fired;
  settle(queue, Seconds(0.03));
  EXPECT_EQ(fired.load(), atDrop);
}

TEST_F(DispatchTimerTest, StartingAgainReplacesTheScheduleAndZeroIntervalFiresOnce) {
  auto queue = DispatchQueue::serial("test.timer-restart");
  std::atomic<int> fired{0};
  auto timer = DispatchTimer::make(queue, [&] { ++fired; });
  timer->start(Seconds(3600));
  timer->startAfter(Seconds(0.001), Seconds(0));
  ASSERT_TRUE(runUntil([&] { return fired == 1; }));
  settle(queue, Seconds(0.03));
  EXPECT_EQ(fired.load(), 1);
}

TEST_F(DispatchTimerTest, HandlerNeverRunsTwiceAtOnceOnAConcurrentQueue) {
  auto queue = DispatchQueue::concurrent("test.timer-overlap", 8);
  HighWaterMark inFlight;
  std::atomic<int> fired{0};
  auto timer = DispatchTimer::make(queue, [&] {
    inFlight.enter();
    std::this_thread::yield();
    inFlight.leave();
    ++fired;
  });
  // Restarts while the handler may be running plan firings that arrive during it.
  for (int i = 0; i < 200; ++i) timer->start(Seconds(0.0001));
  ASSERT_TRUE(runUntil([&] { return fired >= 20; }));
  timer->cancel();
  EXPECT_EQ(inFlight.highest(), 1);
}

TEST_F(DispatchTimerTest, NoFiringAfterCancelReturnsUnderStress) {
  // Many timers cancelled from other threads at random moments: a handler that starts after its
  // cancel() has returned is a fault.
  auto queue = DispatchQueue::concurrent("test.timer-stress", 8);
  constexpr int kTimers = 40;
  struct Probe {
    std::atomic<bool> cancelReturned{false};
    std::atomic<int> lateFirings{0};
    std::atomic<int> fired{0};
    std::shared_ptr<DispatchTimer> timer;
  };
  std::vector<Probe> probes(kTimers);
  for (auto& probe : probes) {
    probe.timer = DispatchTimer::make(queue, [&probe] {
      if (probe.cancelReturned) ++probe.lateFirings;
      ++probe.fired;
    });
    probe.timer->start(Seconds(0.0005));
  }
  std::vector<std::thread> cancellers;
  for (int t = 0; t < 4; ++t) {
    cancellers.emplace_back([&, t] {
      std::mt19937 random(t);
      for (int i = t; i < kTimers; i += 4) {
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
        probes[i].timer->cancel();
        probes[i].cancelReturned = true;
      }
    });
  }
  for (auto& canceller : cancellers) canceller.join();
  settle(queue, Seconds(0.02));
  for (auto& probe : probes) EXPECT_EQ(probe.lateFirings.load(), 0);
}

}  // namespace
