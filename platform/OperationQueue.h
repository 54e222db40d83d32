#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Operation.h"

namespace platform {

// Runs operations on background threads, in the order they were added, with at most
// maxConcurrentOperationCount of them executing at once. An asynchronous operation holds its place
// until it marks itself finished, though not a thread: its main() returns and frees the worker.
//
// Operations cancelled before they start are finished at once without running main(), also while
// the queue is suspended or full. A queue holds its operations until they finish.
//
// Destroying the queue finishes the operations that have not started without running them
// (cancelled, completion blocks run), waits for main() calls in progress to return, and leaves
// asynchronous operations that are executing to finish on their own.
class OperationQueue {
 public:
  static constexpr std::int64_t kDefaultMaxConcurrentOperationCount = -1;  // no limit

  OperationQueue();
  virtual ~OperationQueue();
  OperationQueue(const OperationQueue&) = delete;
  OperationQueue& operator=(const OperationQueue&) = delete;

  std::string name() const;
  void setName(std::string name);

  // Operations executing at once at most; a negative count sets no limit, zero starts none.
  std::int64_t maxConcurrentOperationCount() const;
  void setMaxConcurrentOperationCount(std::int64_t count);

  // A suspended queue starts no operation; those executing go on.
  bool isSuspended() const;
  void setSuspended(bool suspended);

  // Queues the operation. One that is already in a queue, started or finished is refused (logged).
  void addOperation(std::shared_ptr<Operation> operation);
  // Queues all the operations at once; waits for each of them to finish when asked to.
  void addOperations(const std::vector<std::shared_ptr<Operation>>& operations, bool waitUntilFinished);
  std::shared_ptr<BlockOperation> addOperationWithBlock(std::function<void()> block);

  // The operations not yet finished (waiting and executing), in the order they were added.
  std::vector<std::shared_ptr<Operation>> operations() const;
  std::size_t operationCount() const;

  // Sends cancel() to every operation in the queue.
  void cancelAllOperations();
  // Blocks until the queue is empty. Never call it from one of the queue's own operations.
  void waitUntilAllOperationsAreFinished();

 private:
  struct Core;
  std::shared_ptr<Core> core_;
};

}  // namespace platform
