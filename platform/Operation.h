#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace platform {

class Operation;

namespace detail {
// What an operation tells the queue that holds it.
class OperationListener {
 public:
  virtual ~OperationListener() = default;
  virtual void operationWasCancelled(Operation& operation) = 0;
  virtual void operationDidFinish(Operation& operation) = 0;
};
}  // namespace detail

// One unit of work, run once: waiting (ready) → executing → finished.
//
// start() runs main() on the calling thread. A synchronous operation is finished when main()
// returns. An asynchronous one (isAsynchronous() answers true) stays executing after main()
// returns, until it calls markFinished() itself, from any thread. An operation cancelled before it
// starts never runs main(): start() finishes it at once. Cancelling an executing operation only sets
// the flag; main() checks isCancelled(), or a subclass overrides cancel() to stop its work.
//
// On finishing, the completion block runs on the finishing thread, then the queue hears of it.
// No lock is held while main(), the completion block or a queue is called.
class Operation : public std::enable_shared_from_this<Operation> {
 public:
  Operation();
  virtual ~Operation();
  Operation(const Operation&) = delete;
  Operation& operator=(const Operation&) = delete;

  // Runs the operation on the calling thread; does nothing once it has started or finished.
  void start();
  virtual void main() {}
  virtual bool isAsynchronous() const { return false; }

  // Marks the operation cancelled; one still waiting in a queue is finished without running.
  virtual void cancel();

  bool isCancelled() const;
  bool isExecuting() const;
  bool isFinished() const;
  // True while the operation can start when its turn comes; operations here have no dependencies.
  bool isReady() const;

  // Runs once the operation has finished (also when it was cancelled before starting), then is
  // released.
  void setCompletionBlock(std::function<void()> block);
  bool hasCompletionBlock() const;

  std::string name() const;
  void setName(std::string name);

  // Blocks until the operation has finished. Never call it from the operation's own main().
  void waitUntilFinished();

 protected:
  // Ends the operation: it leaves the executing state, the completion block runs and its queue
  // frees its place. Idempotent; may be called from any thread, also before main() returns.
  // The queue drops its reference inside: a caller that touches the operation afterwards holds
  // one of its own (shared_from_this()).
  void markFinished();

 private:
  friend class OperationQueue;
  enum class State { ready, executing, finished };

  // For the queue: takes the operation in unless it is already queued, started or finished.
  bool attach(std::weak_ptr<detail::OperationListener> listener);
  // For the queue going away: an operation that has not started is finished without running; an
  // executing one keeps itself alive until it finishes.
  void detachFromQueue();

  mutable std::mutex mutex_;
  std::condition_variable finishedCondition_;
  State state_ = State::ready;
  bool cancelled_ = false;
  bool attached_ = false;
  std::function<void()> completionBlock_;
  std::string name_;
  std::weak_ptr<detail::OperationListener> listener_;
  std::shared_ptr<Operation> keepAlive_;
};

// An operation that runs one function.
class BlockOperation : public Operation {
 public:
  static std::shared_ptr<BlockOperation> blockOperationWithBlock(std::function<void()> block);
  explicit BlockOperation(std::function<void()> block);
  void main() override;

 private:
  std::function<void()> block_;
};

}  // namespace platform
