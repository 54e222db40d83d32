#include <gtest/gtest.h>

#include <QtCore/QThread>
#include <QtWidgets/QApplication>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/MainQueue.h"
#include "platform/desktop/QtMainQueue.h"
#include "platform/desktop/testing/GuiTest.h"

namespace {

using platform::Seconds;

class QtMainQueueTest : public qvtesting::GuiTest {
 protected:
  std::shared_ptr<platform::MainQueue> queue() { return platform::MainQueue::shared(); }
  static bool onGuiThread() { return QThread::currentThread() == qApp->thread(); }
};

TEST_F(QtMainQueueTest, PostsFromOtherThreadsRunOnTheGuiThreadInOrder) {
  auto main = queue();
  std::mutex mutex;
  std::vector<int> order;
  std::atomic<int> offThread{0};
  std::thread worker([&] {
    EXPECT_FALSE(main->isCurrent());
    for (int i = 0; i < 100; ++i) {
      main->post([&, i] {
        if (!onGuiThread()) ++offThread;
        std::lock_guard lock(mutex);
        order.push_back(i);
      });
    }
  });
  worker.join();
  ASSERT_TRUE(runUntil([&] {
    std::lock_guard lock(mutex);
    return order.size() == 100;
  }));
  EXPECT_EQ(offThread.load(), 0);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);
  EXPECT_TRUE(main->isCurrent());
  EXPECT_TRUE(platform::MainQueue::isMainThread());
}

TEST_F(QtMainQueueTest, SyncFromAWorkerWaitsForTheGuiThread) {
  auto main = queue();
  bool ranOnGui = false;
  std::atomic<bool> returned{false};
  std::thread worker([&] {
    main->sync([&] { ranOnGui = onGuiThread(); });
    returned = true;
  });
  ASSERT_TRUE(runUntil([&] { return returned.load(); }));
  worker.join();
  EXPECT_TRUE(ranOnGui);
}

// Timers scheduled from the GUI thread and from a worker, once and repeating.
struct TimerCase {
  const char* name;
  bool fromWorker;
  bool repeats;
  int expectedFirings;
};

class QtMainQueueTimerTest : public QtMainQueueTest, public ::testing::WithParamInterface<TimerCase> {};

TEST_P(QtMainQueueTimerTest, FiresOnTheGuiThreadUntilCancelled) {
  const auto& c = GetParam();
  auto main = queue();
  std::atomic<int> firings{0};
  std::atomic<int> offThread{0};
  std::shared_ptr<platform::TimerHandle> handle;
  auto schedule = [&] {
    handle = main->scheduleTimer(Seconds(0.01), c.repeats, [&] {
      if (!onGuiThread()) ++offThread;
      if (++firings == c.expectedFirings && c.repeats) handle->cancel();
    });
  };
  if (c.fromWorker) {
    std::thread(schedule).join();
  } else {
    schedule();
  }
  ASSERT_TRUE(runUntil([&] { return firings.load() >= c.expectedFirings; }));
  runFor(0.08);
  EXPECT_EQ(firings.load(), c.expectedFirings);
  EXPECT_EQ(offThread.load(), 0);
  EXPECT_FALSE(handle->isValid());
}

INSTANTIATE_TEST_SUITE_P(Cases, QtMainQueueTimerTest,
                         ::testing::Values(TimerCase{"OnceFromGui", false, false, 1},
                                           TimerCase{"OnceFromWorker", true, false, 1},
                                           TimerCase{"RepeatingFromGui", false, true, 3},
                                           TimerCase{"RepeatingFromWorker", true, true, 3}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(QtMainQueueTest, CancelBeforeFiringFromAnyThreadStopsTheCall) {
  auto main = queue();
  std::atomic<int> firings{0};
  auto fromGui = main->postAfter(Seconds(0.02), [&] { ++firings; });
  fromGui->cancel();
  std::shared_ptr<platform::TimerHandle> fromWorker;
  std::thread([&] {
    fromWorker = main->postAfter(Seconds(0.02), [&] { ++firings; });
    // Cancelled before the GUI thread even made its timer.
    fromWorker->cancel();
  }).join();
  auto repeating = main->scheduleTimer(Seconds(0.01), true, [&] { ++firings; });
  std::thread([&] { repeating->cancel(); }).join();
  runFor(0.1);
  EXPECT_EQ(firings.load(), 0);
  EXPECT_FALSE(fromGui->isValid());
  EXPECT_FALSE(fromWorker->isValid());
}

TEST_F(QtMainQueueTest, PostAfterKeepsItsDelay) {
  auto main = queue();
  auto start = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point fired;
  bool done = false;
  main->postAfter(Seconds(0.15), [&] {
    fired = std::chrono::steady_clock::now();
    done = true;
  });
  ASSERT_TRUE(runUntil([&] { return done; }));
  EXPECT_GE(fired - start, std::chrono::milliseconds(150));
}

}  // namespace
