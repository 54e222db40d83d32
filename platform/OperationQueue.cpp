#include "platform/OperationQueue.h"

#include <condition_variable>
#include <mutex>

#include "platform/DispatchQueue.h"
#include "platform/Log.h"

namespace platform {

struct OperationQueue::Core : detail::OperationListener, std::enable_shared_from_this<Core> {
  struct Entry {
    std::shared_ptr<Operation> operation;
    bool dispatched = false;  // handed to a worker to start
    bool holdsPlace = false;  // counts against the concurrency limit until it finishes
  };

  // Hands every operation that may start now to the workers, in order.
  void pump() {
    std::lock_guard lock(mutex);
    if (!workers) return;
    for (auto& entry : entries) {
      if (entry.dispatched) continue;
      if (!entry.operation->isCancelled()) {
        if (suspended || (maxCount >= 0 && executing >= maxCount)) continue;
        entry.holdsPlace = true;
        ++executing;
      }
      // A cancelled operation takes no place: its start() finishes it without running main().
      entry.dispatched = true;
      workers->async([operation = entry.operation] { operation->start(); });
    }
  }

  void operationWasCancelled(Operation& /*operation*/) override { pump(); }

  void operationDidFinish(Operation& operation) override {
    std::shared_ptr<Operation> removed;  // released after the lock
    {
      std::lock_guard lock(mutex);
      for (auto it = entries.begin(); it != entries.end(); ++it) {
        if (it->operation.get() == &operation) {
          if (it->holdsPlace) --executing;
          removed = std::move(it->operation);
          entries.erase(it);
          break;
        }
      }
      if (entries.empty()) emptied.notify_all();
    }
    pump();
  }

  mutable std::mutex mutex;
  std::condition_variable emptied;
  std::vector<Entry> entries;
  std::int64_t maxCount = kDefaultMaxConcurrentOperationCount;
  std::int64_t executing = 0;
  bool suspended = false;
  std::string name;
  // The threads that run start(); null once the queue is going away.
  std::shared_ptr<DispatchQueue> workers = DispatchQueue::concurrent("OperationQueue");
};

OperationQueue::OperationQueue() : core_(std::make_shared<Core>()) {}

OperationQueue::~OperationQueue() {
  std::shared_ptr<DispatchQueue> workers;
  std::vector<std::shared_ptr<Operation>> remaining;
  {
    std::lock_guard lock(core_->mutex);
    workers = std::move(core_->workers);
    for (auto& entry : core_->entries) remaining.push_back(entry.operation);
  }
  // Those that have not started never will; those executing go on by themselves.
  for (auto& operation : remaining) operation->detachFromQueue();
  remaining.clear();
  workers.reset();
}

std::string OperationQueue::name() const {
  std::lock_guard lock(core_->mutex);
  return core_->name;
}

void OperationQueue::setName(std::string name) {
  std::lock_guard lock(core_->mutex);
  core_->name = std::move(name);
}

std::int64_t OperationQueue::maxConcurrentOperationCount() const {
  std::lock_guard lock(core_->mutex);
  return core_->maxCount;
}

void OperationQueue::setMaxConcurrentOperationCount(std::int64_t count) {
  {
    std::lock_guard lock(core_->mutex);
    core_->maxCount = count < 0 ? kDefaultMaxConcurrentOperationCount : count;
  }
  core_->pump();
}

bool OperationQueue::isSuspended() const {
  std::lock_guard lock(core_->mutex);
  return core_->suspended;
}

void OperationQueue::setSuspended(bool suspended) {
  {
    std::lock_guard lock(core_->mutex);
    core_->suspended = suspended;
  }
  core_->pump();
}

void OperationQueue::addOperation(std::shared_ptr<Operation> operation) {
  addOperations({std::move(operation)}, false);
}

void OperationQueue::addOperations(const std::vector<std::shared_ptr<Operation>>& operations,
                                   bool waitUntilFinished) {
  std::vector<std::shared_ptr<Operation>> accepted;
  for (const auto& operation : operations) {
    if (!operation) continue;
    if (!operation->attach(std::weak_ptr<detail::OperationListener>(core_))) {
      platform::log("Operation refused by queue {}: it is already queued, executing or finished", name());
      continue;
    }
    accepted.push_back(operation);
  }
  {
    std::lock_guard lock(core_->mutex);
    for (const auto& operation : accepted) {
      // One that finished itself in the meantime has already been reported and is not kept.
      if (!operation->isFinished()) core_->entries.push_back(Core::Entry{operation});
    }
  }
  core_->pump();
  if (waitUntilFinished) {
    for (const auto& operation : accepted) operation->waitUntilFinished();
  }
}

std::shared_ptr<BlockOperation> OperationQueue::addOperationWithBlock(std::function<void()> block) {
  auto operation = BlockOperation::blockOperationWithBlock(std::move(block));
  addOperation(operation);
  return operation;
}

std::vector<std::shared_ptr<Operation>> OperationQueue::operations() const {
  std::vector<std::shared_ptr<Operation>> result;
  std::lock_guard lock(core_->mutex);
  result.reserve(core_->entries.size());
  for (const auto& entry : core_->entries) result.push_back(entry.operation);
  return result;
}

std::size_t OperationQueue::operationCount() const {
  std::lock_guard lock(core_->mutex);
  return core_->entries.size();
}

void OperationQueue::cancelAllOperations() {
  for (const auto& operation : operations()) operation->cancel();
}

void OperationQueue::waitUntilAllOperationsAreFinished() {
  std::unique_lock lock(core_->mutex);
  core_->emptied.wait(lock, [this] { return core_->entries.empty(); });
}

}  // namespace platform
