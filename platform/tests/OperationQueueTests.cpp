#include <gtest/gtest.h>

#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

#include "ConcurrencyHelpers.h"
#include "platform/DispatchQueue.h"
#include "platform/OperationQueue.h"
#include "testing/Sandbox.h"

using namespace platform;
using qvtesting::Gate;
using qvtesting::HighWaterMark;

namespace {

// Counts what the operations under test did.
struct Tally {
  std::atomic<int> mains{0};
  std::atomic<int> completions{0};
  HighWaterMark executing;
};

// A synchronous operation that counts itself and optionally waits on a gate in main().
class CountingOperation : public Operation {
 public:
  CountingOperation(Tally& tally, Gate* gate = nullptr) : tally_(tally), gate_(gate) {
    setCompletionBlock([&tally] { ++tally.completions; });
  }
  void main() override {
    ++tally_.mains;
    tally_.executing.enter();
    if (gate_) gate_->wait();
    tally_.executing.leave();
  }

 private:
  Tally& tally_;
  Gate* gate_;
};

// An asynchronous operation, like a module run: main() only starts the work, which ends later on
// another thread; cancelling an executing one stops the work and finishes it.
class AsyncOperation : public Operation {
 public:
  explicit AsyncOperation(Tally& tally) : tally_(tally) {
    setCompletionBlock([&tally] { ++tally.completions; });
  }
  bool isAsynchronous() const override { return true; }
  void main() override {
    ++tally_.mains;
    tally_.executing.enter();
    mainReturned_ = true;
  }
  // Ends the work, as the end of a child process would.
  void complete() {
    auto self = shared_from_this();
    if (isExecuting()) tally_.executing.leave();
    markFinished();
  }
  void cancel() override {
    Operation::cancel();
    if (isExecuting()) complete();
  }
  bool mainReturned() const { return mainReturned_; }

 private:
  Tally& tally_;
  std::atomic<bool> mainReturned_{false};
};

class OperationQueueTest : public qvtesting::SandboxTest {};

TEST_F(OperationQueueTest, OperationStartedDirectlyRunsItsLifecycle) {
  Tally tally;
  auto operation = std::make_shared<CountingOperation>(tally);
  EXPECT_TRUE(operation->isReady());
  EXPECT_FALSE(operation->isExecuting());
  EXPECT_FALSE(operation->isFinished());
  EXPECT_FALSE(operation->isAsynchronous());
  operation->start();
  EXPECT_TRUE(operation->isFinished());
  EXPECT_FALSE(operation->isExecuting());
  EXPECT_EQ(tally.mains, 1);
  EXPECT_EQ(tally.completions, 1);
  EXPECT_FALSE(operation->hasCompletionBlock());  // released after running
  operation->start();                             // a second start does nothing
  EXPECT_EQ(tally.mains, 1);
}

TEST_F(OperationQueueTest, BlockOperationRunsItsBlockOnAWorker) {
  OperationQueue queue;
  std::atomic<bool> onCaller{true};
  std::atomic<bool> ran{false};
  auto caller = std::this_thread::get_id();
  auto operation = queue.addOperationWithBlock([&] {
    onCaller = std::this_thread::get_id() == caller;
    ran = true;
  });
  queue.waitUntilAllOperationsAreFinished();
  EXPECT_TRUE(ran);
  EXPECT_FALSE(onCaller);
  EXPECT_TRUE(operation->isFinished());
  EXPECT_EQ(queue.operationCount(), 0u);
}

TEST_F(OperationQueueTest, CancelledBeforeStartNeverRunsMain) {
  struct Case {
    const char* name;
    bool inQueue;
    bool suspended;
  } cases[] = {
      {"started directly", false, false},
      {"in a suspended queue", true, true},
      {"in a full queue", true, false},
  };
  for (const auto& c : cases) {
    Tally tally;
    Tally blockerTally;
    Gate release;
    OperationQueue queue;
    queue.setMaxConcurrentOperationCount(1);
    queue.setSuspended(c.suspended);
    auto blocker = std::make_shared<CountingOperation>(blockerTally, &release);
    auto operation = std::make_shared<CountingOperation>(tally);
    if (c.inQueue) {
      queue.addOperation(blocker);
      if (!c.suspended) {
        ASSERT_TRUE(runUntil([&] { return blocker->isExecuting(); })) << c.name;
      }
      queue.addOperation(operation);
    }
    operation->cancel();
    EXPECT_TRUE(operation->isCancelled()) << c.name;
    if (!c.inQueue) operation->start();
    // Finished without waiting for the queue to resume or make room.
    ASSERT_TRUE(runUntil([&] { return operation->isFinished(); })) << c.name;
    EXPECT_EQ(tally.mains, 0) << c.name;
    EXPECT_EQ(tally.completions, 1) << c.name;
    release.open();
  }
}

TEST_F(OperationQueueTest, AsynchronousOperationStaysExecutingUntilItFinishes) {
  Tally tally;
  OperationQueue queue;
  auto operation = std::make_shared<AsyncOperation>(tally);
  queue.addOperation(operation);
  ASSERT_TRUE(runUntil([&] { return operation->mainReturned(); }));
  EXPECT_TRUE(operation->isExecuting());
  EXPECT_FALSE(operation->isFinished());
  EXPECT_EQ(queue.operationCount(), 1u);
  EXPECT_EQ(tally.completions, 0);
  operation->complete();
  EXPECT_TRUE(operation->isFinished());
  EXPECT_FALSE(operation->isExecuting());
  EXPECT_EQ(queue.operationCount(), 0u);
  EXPECT_EQ(tally.completions, 1);
}

TEST_F(OperationQueueTest, MaxConcurrentCountIsReachedAndNeverExceeded) {
  struct Case {
    std::int64_t max;
    bool asynchronous;
  } cases[] = {{1, false}, {2, false}, {3, false}, {1, true}, {3, true}, {5, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "max " << c.max << (c.asynchronous ? " async" : " sync"));
    constexpr int kOperations = 24;
    Tally tally;
    Gate release;  // holds the synchronous ones in main()
    OperationQueue queue;
    queue.setMaxConcurrentOperationCount(c.max);
    EXPECT_EQ(queue.maxConcurrentOperationCount(), c.max);
    std::vector<std::shared_ptr<Operation>> operations;
    std::vector<std::shared_ptr<AsyncOperation>> asyncOperations;
    for (int i = 0; i < kOperations; ++i) {
      if (c.asynchronous) {
        asyncOperations.push_back(std::make_shared<AsyncOperation>(tally));
        operations.push_back(asyncOperations.back());
      } else {
        operations.push_back(std::make_shared<CountingOperation>(tally, &release));
      }
    }
    queue.addOperations(operations, false);
    // The queue fills up to its limit and starts nothing more while all are busy.
    ASSERT_TRUE(runUntil([&] { return tally.executing.current() == c.max; }));
    EXPECT_EQ(tally.mains, c.max);
    if (c.asynchronous) {
      // Finish them from another thread as they start, as child processes would end.
      std::thread finisher([&] {
        for (auto& operation : asyncOperations) {
          auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
          while (!operation->isExecuting() && !operation->isFinished() &&
                 std::chrono::steady_clock::now() < deadline) {
            std::this_thread::yield();
          }
          operation->complete();
        }
      });
      queue.waitUntilAllOperationsAreFinished();
      finisher.join();
    } else {
      release.open();
      queue.waitUntilAllOperationsAreFinished();
    }
    EXPECT_EQ(tally.mains, kOperations);
    EXPECT_EQ(tally.completions, kOperations);
    EXPECT_EQ(tally.executing.highest(), c.max);
    EXPECT_EQ(queue.operationCount(), 0u);
  }
}

TEST_F(OperationQueueTest, AsynchronousRunsLaunchedAndEndedOnTheMainThread) {
  // The shape of a module run: main() asks the main thread to launch the work, which ends later
  // on the main thread; cancelling an executing run stops it there. At most 3 run at once.
  class MainThreadRun : public Operation {
   public:
    MainThreadRun(Tally& tally, bool endsByItself) : tally_(tally), endsByItself_(endsByItself) {
      setCompletionBlock([&tally] { ++tally.completions; });
    }
    bool isAsynchronous() const override { return true; }
    void main() override {
      ++tally_.mains;
      tally_.executing.enter();
      std::weak_ptr<Operation> weak = weak_from_this();
      postToMain([this, weak] {
        auto self = weak.lock();
        if (!self || !endsByItself_) return;
        postToMainAfter(Seconds(0.001), [this, weak] {
          if (auto alive = weak.lock()) end();
        });
      });
    }
    void cancel() override {
      Operation::cancel();
      auto self = shared_from_this();
      postToMain([this, self] {
        if (isExecuting()) end();
      });
    }

   private:
    void end() {
      EXPECT_TRUE(MainQueue::isMainThread());
      if (ended_.exchange(true)) return;
      tally_.executing.leave();
      markFinished();
    }
    Tally& tally_;
    bool endsByItself_;
    std::atomic<bool> ended_{false};
  };

  Tally tally;
  OperationQueue queue;
  queue.setMaxConcurrentOperationCount(3);
  std::vector<std::shared_ptr<Operation>> runs;
  for (int i = 0; i < 9; ++i) runs.push_back(std::make_shared<MainThreadRun>(tally, true));
  queue.addOperations(runs, false);
  ASSERT_TRUE(runUntil([&] { return queue.operationCount() == 0; }));
  EXPECT_EQ(tally.mains, 9);
  EXPECT_EQ(tally.completions, 9);
  EXPECT_EQ(tally.executing.highest(), 3);

  // Runs that never end by themselves are stopped by cancelling all, as at shutdown.
  Tally stuck;
  runs.clear();
  for (int i = 0; i < 9; ++i) runs.push_back(std::make_shared<MainThreadRun>(stuck, false));
  queue.addOperations(runs, false);
  ASSERT_TRUE(runUntil([&] { return stuck.mains == 3; }));
  queue.cancelAllOperations();
  ASSERT_TRUE(runUntil([&] { return queue.operationCount() == 0; }));
  EXPECT_EQ(stuck.mains, 3);
  EXPECT_EQ(stuck.completions, 9);
}

TEST_F(OperationQueueTest, CancelAllOperationsStopsTheRunningAndSkipsTheWaiting) {
  Tally tally;
  OperationQueue queue;
  queue.setMaxConcurrentOperationCount(3);
  std::vector<std::shared_ptr<Operation>> operations;
  for (int i = 0; i < 10; ++i) operations.push_back(std::make_shared<AsyncOperation>(tally));
  queue.addOperations(operations, false);
  ASSERT_TRUE(runUntil([&] { return tally.mains == 3; }));
  queue.cancelAllOperations();
  queue.waitUntilAllOperationsAreFinished();
  EXPECT_EQ(tally.mains, 3);
  EXPECT_EQ(tally.completions, 10);
  for (const auto& operation : operations) {
    EXPECT_TRUE(operation->isCancelled());
    EXPECT_TRUE(operation->isFinished());
  }
}

TEST_F(OperationQueueTest, AnOperationThatIgnoresCancelBeforeStartRunsInItsTurn) {
  // An operation may choose what cancel means: one that stays runnable is started as usual.
  class Stubborn : public CountingOperation {
   public:
    using CountingOperation::CountingOperation;
    void cancel() override {}
  };
  Tally tally;
  OperationQueue queue;
  queue.setSuspended(true);
  queue.addOperation(std::make_shared<Stubborn>(tally));
  queue.cancelAllOperations();
  queue.setSuspended(false);
  queue.waitUntilAllOperationsAreFinished();
  EXPECT_EQ(tally.mains, 1);
}

TEST_F(OperationQueueTest, SuspendedQueueStartsNothingUntilResumed) {
  Tally tally;
  OperationQueue queue;
  queue.setName("suspended");
  EXPECT_EQ(queue.name(), "suspended");
  queue.setSuspended(true);
  EXPECT_TRUE(queue.isSuspended());
  std::vector<std::shared_ptr<Operation>> operations;
  for (int i = 0; i < 3; ++i) operations.push_back(std::make_shared<CountingOperation>(tally));
  queue.addOperations(operations, false);
  EXPECT_EQ(queue.operations(), operations);  // in the order added
  EXPECT_EQ(queue.operationCount(), 3u);
  EXPECT_EQ(tally.mains, 0);
  queue.setSuspended(false);
  queue.waitUntilAllOperationsAreFinished();
  EXPECT_EQ(tally.mains, 3);
}

TEST_F(OperationQueueTest, ZeroMaxCountStartsNothing) {
  Tally tally;
  OperationQueue queue;
  queue.setMaxConcurrentOperationCount(0);
  queue.addOperation(std::make_shared<CountingOperation>(tally));
  queue.setMaxConcurrentOperationCount(OperationQueue::kDefaultMaxConcurrentOperationCount);
  queue.waitUntilAllOperationsAreFinished();
  EXPECT_EQ(tally.mains, 1);
}

TEST_F(OperationQueueTest, AddOperationsCanWaitForThem) {
  Tally tally;
  OperationQueue queue;
  queue.setMaxConcurrentOperationCount(2);
  std::vector<std::shared_ptr<Operation>> operations;
  for (int i = 0; i < 12; ++i) operations.push_back(std::make_shared<CountingOperation>(tally));
  queue.addOperations(operations, true);
  EXPECT_EQ(tally.mains, 12);
  EXPECT_EQ(tally.completions, 12);
  for (const auto& operation : operations) EXPECT_TRUE(operation->isFinished());
}

TEST_F(OperationQueueTest, AnOperationIsQueuedOnlyOnce) {
  Tally tally;
  OperationQueue first;
  OperationQueue second;
  first.setSuspended(true);
  auto operation = std::make_shared<CountingOperation>(tally);
  qvtesting::LogCapture log;
  first.addOperation(operation);
  first.addOperation(operation);
  second.addOperation(operation);
  EXPECT_EQ(first.operationCount(), 1u);
  EXPECT_EQ(second.operationCount(), 0u);
  EXPECT_TRUE(log.contains("refused"));
  first.setSuspended(false);
  first.waitUntilAllOperationsAreFinished();
  EXPECT_EQ(tally.mains, 1);
  second.addOperation(operation);  // finished: refused too
  EXPECT_EQ(second.operationCount(), 0u);
}

TEST_F(OperationQueueTest, MainThatThrowsStillFinishes) {
  class Throwing : public Operation {
   public:
    bool isAsynchronous() const override { return true; }
    void main() override { throw std::runtime_error("operation failed"); }
  };
  qvtesting::LogCapture log;
  OperationQueue queue;
  auto operation = std::make_shared<Throwing>();
  queue.addOperation(operation);
  queue.waitUntilAllOperationsAreFinished();
  EXPECT_TRUE(operation->isFinished());
  EXPECT_TRUE(log.contains("operation failed"));
}

TEST_F(OperationQueueTest, DestroyingTheQueueFinishesWaitingOperationsAndLeavesRunningOnes) {
  Tally tally;
  auto running = std::make_shared<AsyncOperation>(tally);
  std::vector<std::shared_ptr<Operation>> waiting;
  {
    OperationQueue queue;
    queue.setMaxConcurrentOperationCount(1);
    queue.addOperation(running);
    for (int i = 0; i < 4; ++i) waiting.push_back(std::make_shared<AsyncOperation>(tally));
    queue.addOperations(waiting, false);
    ASSERT_TRUE(runUntil([&] { return running->mainReturned(); }));
  }
  for (const auto& operation : waiting) {
    EXPECT_TRUE(operation->isFinished());
    EXPECT_TRUE(operation->isCancelled());
  }
  EXPECT_EQ(tally.mains, 1);
  EXPECT_TRUE(running->isExecuting());
  // The running one is kept alive by itself until it ends, even with no queue and no other owner.
  std::weak_ptr<AsyncOperation> watch = running;
  std::thread([operation = std::move(running)]() mutable {
    auto keep = std::move(operation);
    keep->complete();
  }).join();
  EXPECT_TRUE(watch.expired());
  EXPECT_EQ(tally.completions, 5);
}

TEST_F(OperationQueueTest, CancelRacingWithStartLeavesEveryOperationFinishedConsistently) {
  // Operations cancelled from another thread while the queue starts them: each one finishes
  // exactly once, runs main() unless it was cancelled, and runs nothing when it did not start.
  class Probe : public Operation {
   public:
    void main() override { ++mains; }
    std::atomic<int> mains{0};
    std::atomic<bool> cancelledByTest{false};
  };
  OperationQueue queue;
  queue.setMaxConcurrentOperationCount(3);
  std::vector<std::shared_ptr<Probe>> probes;
  std::vector<std::shared_ptr<Operation>> operations;
  std::atomic<int> completions{0};
  for (int i = 0; i < 600; ++i) {
    probes.push_back(std::make_shared<Probe>());
    probes.back()->setCompletionBlock([&completions] { ++completions; });
    operations.push_back(probes.back());
  }
  std::thread canceller([&] {
    std::mt19937 random(7);
    for (auto& probe : probes) {
      if (random() % 2) {
        probe->cancelledByTest = true;
        probe->cancel();
      }
    }
  });
  queue.addOperations(operations, false);
  canceller.join();
  queue.waitUntilAllOperationsAreFinished();
  EXPECT_EQ(completions.load(), 600);
  for (const auto& probe : probes) {
    EXPECT_TRUE(probe->isFinished());
    EXPECT_LE(probe->mains.load(), 1);
    EXPECT_TRUE(probe->mains == 1 || probe->isCancelled());
    EXPECT_TRUE(probe->cancelledByTest || probe->mains == 1);
  }
}

}  // namespace
