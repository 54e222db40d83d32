#include "engine/ZKTaskHelper.h"

#include <utility>

#include "platform/DispatchQueue.h"
#include "platform/Log.h"

std::shared_ptr<ZKTaskHelper> ZKTaskHelper::taskHelperWithTask(std::shared_ptr<platform::Task> task) {
  return std::make_shared<ZKTaskHelper>(std::move(task));
}

ZKTaskHelper::ZKTaskHelper(std::shared_ptr<platform::Task> task) : task_(std::move(task)) {}

std::shared_ptr<platform::Task> ZKTaskHelper::task() const {
  std::lock_guard lock(mutex_);
  return task_;
}

std::shared_ptr<ZKTaskHelperDelegate> ZKTaskHelper::delegate() const {
  std::lock_guard lock(mutex_);
  return delegate_.lock();
}

void ZKTaskHelper::setDelegate(const std::shared_ptr<ZKTaskHelperDelegate>& delegate) {
  std::lock_guard lock(mutex_);
  delegate_ = delegate;
}

std::any ZKTaskHelper::userInfo() const {
  std::lock_guard lock(mutex_);
  return userInfo_;
}

void ZKTaskHelper::setUserInfo(std::any userInfo) {
  std::lock_guard lock(mutex_);
  userInfo_ = std::move(userInfo);
}

std::shared_ptr<ZKTaskHelperDelegate> ZKTaskHelper::reportingDelegate() const {
  std::lock_guard lock(mutex_);
  if (!reporting_) return nullptr;
  return delegate_.lock();
}

void ZKTaskHelper::launch() {
  std::shared_ptr<platform::Task> task;
  {
    std::lock_guard lock(mutex_);
    if (!task_ || launched_) return;
    launched_ = true;
    task = task_;
  }
  // The handlers hold the helper weakly: its owner decides how long it lives.
  std::weak_ptr<ZKTaskHelper> weak = weak_from_this();
  task->setStandardOutputHandler([weak](platform::Data bytes) {
    auto self = weak.lock();
    if (!self) return;
    if (auto delegate = self->reportingDelegate()) delegate->taskHelperDidReceiveOutput(*self, bytes);
  });
  task->setStandardErrorHandler([weak](platform::Data bytes) {
    auto self = weak.lock();
    if (!self) return;
    if (auto delegate = self->reportingDelegate()) delegate->taskHelperDidReceiveError(*self, bytes);
  });
  task->setTerminationHandler([weak](const platform::TaskTermination& termination) {
    if (auto self = weak.lock()) self->taskCompleted(termination);
  });
  // What the module leaves behind must not outlive its run, however the run ended.
  task->setStopsGroupWhenDone(true);

  platform::Error error;
  if (!task->launch(&error)) {
    // The task reports the failed launch as an end, which reaches the delegate like any other.
    platform::log("Task failed to launch because of exception");
    platform::log("{}", error.description);
  }
}

void ZKTaskHelper::cancel() {
  std::shared_ptr<platform::Task> task;
  {
    std::lock_guard lock(mutex_);
    if (!task_ || !launched_) return;
    task = task_;
    // Silent from here on: the end that the termination below causes must not reach the delegate,
    // even when the reactor reaps the child before this thread gets to the clean-up.
    reporting_ = false;
  }
  // Does nothing once the child was reaped; until then the whole group is stopped.
  task->terminate();
  cleanup();
}

bool ZKTaskHelper::suspend() {
  auto task = this->task();
  return task && task->suspend();
}

bool ZKTaskHelper::resume() {
  auto task = this->task();
  return task && task->resume();
}

void ZKTaskHelper::taskCompleted(const platform::TaskTermination& termination) {
  if (auto delegate = reportingDelegate()) delegate->taskHelperDidFinish(*this, termination.reason);
  release(true);
}

void ZKTaskHelper::cleanup() { release(false); }

void ZKTaskHelper::release(bool onReactorThread) {
  std::shared_ptr<platform::Task> task;
  {
    std::lock_guard lock(mutex_);
    reporting_ = false;
    task = std::move(task_);
    task_ = nullptr;
  }
  if (!task) return;
  if (onReactorThread) {
    // Inside the task's own handler: dropping the handlers does not wait.
    task->clearHandlers();
    return;
  }
  // Elsewhere, dropping the handlers waits for one under way, and that one may be waiting for the
  // calling thread (an observer of a result asking the main thread for something): let a
  // background thread wait instead. The process is reaped by the reactor whatever happens here.
  platform::DispatchQueue::global()->async([task = std::move(task)] { task->clearHandlers(); });
}
