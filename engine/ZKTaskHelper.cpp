#include "engine/ZKTaskHelper.h"

#include <utility>

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
    if (auto delegate = self->delegate()) delegate->taskHelperDidReceiveOutput(*self, bytes);
  });
  task->setStandardErrorHandler([weak](platform::Data bytes) {
    auto self = weak.lock();
    if (!self) return;
    if (auto delegate = self->delegate()) delegate->taskHelperDidReceiveError(*self, bytes);
  });
  task->setTerminationHandler([weak](const platform::TaskTermination& termination) {
    if (auto self = weak.lock()) self->taskCompleted(termination);
  });
  // What the module leaves behind must not outlive a run that was stopped or given up.
  task->setStopsGroupWhenAbandoned(true);

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
  if (auto delegate = this->delegate()) delegate->taskHelperDidFinish(*this, termination.reason);
  cleanup();
}

void ZKTaskHelper::cleanup() {
  std::shared_ptr<platform::Task> task;
  {
    std::lock_guard lock(mutex_);
    task = std::move(task_);
    task_ = nullptr;
  }
  // Off the reactor thread this waits for a handler under way; the task's process is still reaped
  // by the reactor after the task object is gone.
  if (task) task->clearHandlers();
}
