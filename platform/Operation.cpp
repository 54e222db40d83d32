#include "platform/Operation.h"

#include <exception>
#include <utility>

#include "platform/Log.h"

namespace platform {

namespace {
template <typename F>
void runBlockGuarded(const char* what, F&& fn) {
  try {
    fn();
  } catch (const std::exception& error) {
    platform::log("Operation {} threw: {}", what, error.what());
  } catch (...) {
    platform::log("Operation {} threw an unknown exception", what);
  }
}
}  // namespace

Operation::Operation() = default;

Operation::~Operation() = default;

void Operation::start() {
  // Keeps the operation alive while it runs, should its queue drop it meanwhile.
  auto self = weak_from_this().lock();
  bool skip = false;
  {
    std::lock_guard lock(mutex_);
    if (state_ != State::ready) return;
    if (cancelled_) {
      skip = true;
    } else {
      state_ = State::executing;
    }
  }
  if (skip) {
    markFinished();
    return;
  }
  bool failed = false;
  try {
    main();
  } catch (const std::exception& error) {
    platform::log("Operation main threw: {}", error.what());
    failed = true;
  } catch (...) {
    platform::log("Operation main threw an unknown exception");
    failed = true;
  }
  // An asynchronous operation whose main() threw will not finish by itself.
  if (failed || !isAsynchronous()) markFinished();
}

void Operation::cancel() {
  std::shared_ptr<detail::OperationListener> listener;
  {
    std::lock_guard lock(mutex_);
    if (cancelled_ || state_ == State::finished) return;
    cancelled_ = true;
    if (state_ == State::ready) listener = listener_.lock();
  }
  if (listener) listener->operationWasCancelled(*this);
}

bool Operation::isCancelled() const {
  std::lock_guard lock(mutex_);
  return cancelled_;
}

bool Operation::isExecuting() const {
  std::lock_guard lock(mutex_);
  return state_ == State::executing;
}

bool Operation::isFinished() const {
  std::lock_guard lock(mutex_);
  return state_ == State::finished;
}

bool Operation::isReady() const { return true; }

void Operation::setCompletionBlock(std::function<void()> block) {
  std::function<void()> replaced;
  std::lock_guard lock(mutex_);
  replaced = std::exchange(completionBlock_, std::move(block));
}

bool Operation::hasCompletionBlock() const {
  std::lock_guard lock(mutex_);
  return static_cast<bool>(completionBlock_);
}

std::string Operation::name() const {
  std::lock_guard lock(mutex_);
  return name_;
}

void Operation::setName(std::string name) {
  std::lock_guard lock(mutex_);
  name_ = std::move(name);
}

void Operation::waitUntilFinished() {
  std::unique_lock lock(mutex_);
  finishedCondition_.wait(lock, [this] { return completed_; });
}

void Operation::markFinished() {
  // The queue may hold the last reference and drop it when told.
  auto self = weak_from_this().lock();
  std::function<void()> completion;
  std::shared_ptr<detail::OperationListener> listener;
  std::shared_ptr<Operation> keptAlive;
  {
    std::lock_guard lock(mutex_);
    if (state_ == State::finished) return;
    state_ = State::finished;
    keptAlive = std::move(keepAlive_);
    completion = std::move(completionBlock_);
    listener = listener_.lock();
  }
  if (completion) runBlockGuarded("completion block", completion);
  completion = nullptr;
  {
    std::lock_guard lock(mutex_);
    completed_ = true;
    finishedCondition_.notify_all();
  }
  if (listener) listener->operationDidFinish(*this);
}

bool Operation::attach(std::weak_ptr<detail::OperationListener> listener) {
  std::lock_guard lock(mutex_);
  if (attached_ || state_ != State::ready) return false;
  attached_ = true;
  listener_ = std::move(listener);
  return true;
}

void Operation::detachFromQueue() {
  bool finishNow = false;
  {
    std::lock_guard lock(mutex_);
    listener_.reset();
    if (state_ == State::ready) {
      cancelled_ = true;
      finishNow = true;
    } else if (state_ == State::executing) {
      keepAlive_ = weak_from_this().lock();
    }
  }
  if (finishNow) markFinished();
}

std::shared_ptr<BlockOperation> BlockOperation::blockOperationWithBlock(std::function<void()> block) {
  return std::make_shared<BlockOperation>(std::move(block));
}

BlockOperation::BlockOperation(std::function<void()> block) : block_(std::move(block)) {}

void BlockOperation::main() {
  if (block_) block_();
}

}  // namespace platform
