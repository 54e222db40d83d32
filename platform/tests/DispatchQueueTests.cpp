#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>
#include <thread>
#include <vector>

#include "ConcurrencyHelpers.h"
#include "platform/DispatchQueue.h"
#include "testing/Sandbox.h"

using namespace platform;
using qvtesting::Gate;
using qvtesting::HighWaterMark;

namespace {

std::size_t liveThreadCount() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) ++count;
  return count;
}

class DispatchQueueTest : public qvtesting::SandboxTest {};

TEST_F(DispatchQueueTest, SerialQueueRunsEachProducersTasksInOrderOneAtATime) {
  auto queue = DispatchQueue::serial("test.serial");
  EXPECT_TRUE(queue->isSerial());
  EXPECT_EQ(queue->label(), "test.serial");
  constexpr int kProducers = 4;
  constexpr int kTasks = 500;
  HighWaterMark inFlight;
  std::vector<std::vector<int>> seen(kProducers);  // touched only on the queue
  std::atomic<int> done{0};
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; i < kTasks; ++i) {
        queue->async([&, p, i] {
          inFlight.enter();
          seen[p].push_back(i);
          inFlight.leave();
          ++done;
        });
      }
    });
  }
  for (auto& producer : producers) producer.join();
  ASSERT_TRUE(runUntil([&] { return done == kProducers * kTasks; }));
  EXPECT_EQ(inFlight.highest(), 1);
  for (int p = 0; p < kProducers; ++p) {
    ASSERT_EQ(seen[p].size(), std::size_t(kTasks));
    for (int i = 0; i < kTasks; ++i) EXPECT_EQ(seen[p][i], i) << "producer " << p;
  }
  EXPECT_LE(queue->threadCount(), 1u);
}

TEST_F(DispatchQueueTest, ConcurrentQueueRunsUpToItsWidthAtOnce) {
  constexpr std::size_t kWidth = 4;
  auto queue = DispatchQueue::concurrent("test.concurrent", kWidth);
  EXPECT_FALSE(queue->isSerial());
  HighWaterMark inFlight;
  Gate release;
  std::atomic<int> done{0};
  std::atomic<std::size_t> mostThreads{0};
  for (int i = 0; i < 40; ++i) {
    queue->async([&] {
      inFlight.enter();
      std::size_t threads = queue->threadCount();
      if (threads > mostThreads) mostThreads = threads;
      release.wait();
      inFlight.leave();
      ++done;
    });
  }
  // The first tasks hold their workers until released: the queue must reach its full width.
  ASSERT_TRUE(runUntil([&] { return inFlight.current() == int(kWidth); }));
  release.open();
  ASSERT_TRUE(runUntil([&] { return done == 40; }));
  EXPECT_EQ(inFlight.highest(), int(kWidth));
  EXPECT_LE(mostThreads.load(), kWidth);
}

TEST_F(DispatchQueueTest, SyncRunsOnTheQueueAndAnswersTheResult) {
  auto queue = DispatchQueue::serial("test.sync");
  auto other = DispatchQueue::serial("test.other");
  EXPECT_FALSE(queue->isCurrent());
  int value = queue->sync([&] { return queue->isCurrent() && !other->isCurrent() ? 42 : 0; });
  EXPECT_EQ(value, 42);
  std::string text = queue->sync([] { return std::string("text"); });
  EXPECT_EQ(text, "text");
}

TEST_F(DispatchQueueTest, SyncWaitsForEarlierTasks) {
  auto queue = DispatchQueue::serial("test.sync-order");
  std::vector<int> order;
  Gate release;
  queue->async([&] {
    release.wait();
    order.push_back(1);
  });
  std::thread opener([&] { release.open(); });
  queue->sync([&] { order.push_back(2); });
  opener.join();
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

TEST_F(DispatchQueueTest, SyncFromTheQueueItselfRunsInline) {
  struct Case {
    const char* name;
    std::shared_ptr<DispatchQueue> queue;
  } cases[] = {
      {"serial", DispatchQueue::serial("test.reentrant")},
      {"concurrent of width 1", DispatchQueue::concurrent("test.reentrant1", 1)},
      {"concurrent", DispatchQueue::concurrent("test.reentrant4", 4)},
  };
  for (auto& c : cases) {
    std::atomic<bool> inner{false};
    std::atomic<bool> done{false};
    c.queue->async([&] {
      c.queue->sync([&] { inner = c.queue->isCurrent(); });
      done = true;
    });
    ASSERT_TRUE(runUntil([&] { return done.load(); })) << c.name;
    EXPECT_TRUE(inner) << c.name;
  }
}

TEST_F(DispatchQueueTest, SyncPassesOnExceptionsAndTheQueueGoesOn) {
  auto queue = DispatchQueue::serial("test.throw");
  EXPECT_THROW(queue->sync([] { throw std::runtime_error("boom"); }), std::runtime_error);
  qvtesting::LogCapture log;
  queue->async([] { throw std::runtime_error("async boom"); });
  EXPECT_EQ(queue->sync([] { return 7; }), 7);
  EXPECT_TRUE(log.contains("async boom"));
}

TEST_F(DispatchQueueTest, AfterRunsInDeadlineOrderAndCancelledCallsNeverRun) {
  auto queue = DispatchQueue::serial("test.after");
  std::vector<std::string> ran;  // touched only on the queue
  std::atomic<bool> last{false};
  // Deadlines far enough apart that a loaded machine pausing this thread between the calls
  // cannot make "first" due before "now" is queued.
  auto first = queue->after(Seconds(0.4), [&] { ran.push_back("first"); });
  auto cancelled = queue->after(Seconds(0.2), [&] { ran.push_back("cancelled"); });
  queue->after(Seconds(0.6), [&] {
    ran.push_back("last");
    last = true;
  });
  queue->after(Seconds(0), [&] { ran.push_back("now"); });
  EXPECT_TRUE(cancelled->isValid());
  cancelled->cancel();
  EXPECT_FALSE(cancelled->isValid());
  ASSERT_TRUE(runUntil([&] { return last.load(); }));
  queue->sync([] {});
  EXPECT_EQ(ran, (std::vector<std::string>{"now", "first", "last"}));
  EXPECT_FALSE(first->isValid());
}

TEST_F(DispatchQueueTest, DestroyingTheQueueRunsQueuedTasksAndJoinsItsThreads) {
  {
    // The timer thread, shared by all queues, starts with the first call to after().
    auto warmUp = DispatchQueue::serial("test.warm-up");
    warmUp->after(Seconds(60), [] {});
  }
  std::size_t threadsBefore = liveThreadCount();
  std::atomic<int> done{0};
  auto dropped = std::make_shared<int>(0);
  std::weak_ptr<int> watch = dropped;
  {
    auto queue = DispatchQueue::concurrent("test.drain", 3);
    for (int i = 0; i < 200; ++i) queue->async([&] { ++done; });
    // Calls not yet due when the queue goes away are dropped with what they hold.
    queue->after(Seconds(30), [dropped = std::move(dropped)] {});
  }
  EXPECT_EQ(done.load(), 200);
  // A joined thread can linger in /proc for a moment after the kernel has let join return.
  EXPECT_TRUE(runUntil([&] { return liveThreadCount() <= threadsBefore; }));
  EXPECT_TRUE(watch.expired());
}

TEST_F(DispatchQueueTest, DroppingTheLastReferenceFromItsOwnTaskLetsTheRestRun) {
  std::atomic<int> done{0};
  auto queue = DispatchQueue::serial("test.self-drop");
  std::weak_ptr<DispatchQueue> watch = queue;
  Gate release;
  queue->async([&, keep = queue] {
    release.wait();
    ++done;
  });
  for (int i = 0; i < 10; ++i) queue->async([&] { ++done; });
  queue.reset();
  EXPECT_FALSE(watch.expired());
  release.open();
  ASSERT_TRUE(runUntil([&] { return done == 11; }));
  EXPECT_TRUE(watch.expired());
}

TEST_F(DispatchQueueTest, WorkersStayBoundedAndLeaveWhenIdle) {
  constexpr std::size_t kWidth = 3;
  auto queue = DispatchQueue::concurrent("test.idle", kWidth);
  queue->setIdleTimeout(Seconds(0.02));
  std::atomic<int> done{0};
  std::atomic<std::size_t> mostThreads{0};
  std::vector<std::thread> producers;
  for (int p = 0; p < 4; ++p) {
    producers.emplace_back([&] {
      for (int i = 0; i < 250; ++i) {
        queue->async([&] {
          std::size_t threads = queue->threadCount();
          if (threads > mostThreads) mostThreads = threads;
          ++done;
        });
      }
    });
  }
  for (auto& producer : producers) producer.join();
  ASSERT_TRUE(runUntil([&] { return done == 1000; }));
  EXPECT_LE(mostThreads.load(), kWidth);
  EXPECT_TRUE(runUntil([&] { return queue->threadCount() == 0; }));
  // Work after the workers left starts a new one.
  EXPECT_EQ(queue->sync([] { return 5; }), 5);
}

TEST_F(DispatchQueueTest, GlobalQueueIsSharedAndConcurrent) {
  auto global = DispatchQueue::global();
  EXPECT_EQ(global, DispatchQueue::global());
  EXPECT_FALSE(global->isSerial());
  EXPECT_TRUE(global->sync([&] { return global->isCurrent(); }));
}

}  // namespace
