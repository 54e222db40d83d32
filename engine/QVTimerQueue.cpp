#include "engine/QVTimerQueue.h"

#include <fmt/format.h>

#include "engine/QVDashboardModuleManager.h"
#include "engine/QVNetworkReachability.h"
#include "engine/QVRunNotifications.h"
#include "engine/ZKTimer.h"
#include "platform/Log.h"
#include "platform/MainQueue.h"
#include "platform/Task.h"

namespace {

// Runs the handler on the main thread: at once when already there, else queued.
void onMain(std::function<void()> fn) {
  auto main = platform::MainQueue::shared();
  if (!main) return;
  if (main->isCurrent()) {
    fn();
  } else {
    main->post(std::move(fn));
  }
}

}  // namespace

QVTimerQueue::Pointer QVTimerQueue::timerQueueWithInterval(double interval,
                                                           std::weak_ptr<QVDashboardModuleManager> manager) {
  auto queue = std::make_shared<QVTimerQueue>(interval, std::move(manager));
  queue->registerObservers();
  queue->configureTimer();
  return queue;
}

QVTimerQueue::QVTimerQueue(double interval, std::weak_ptr<QVDashboardModuleManager> manager)
    : interval_(interval), manager_(std::move(manager)) {
  setMaxConcurrentOperationCount(kMaximumConcurrentRuns);
  setName(fmt::format("Run queue {}", interval));
}

QVTimerQueue::~QVTimerQueue() {
  observers_.clear();
  if (timer_) timer_->invalidate();
  // A queue that goes away leaves no process running for nobody, and waits (bounded) until they
  // are gone: the process may be about to exit.
  std::vector<std::shared_ptr<platform::Task>> tasks;
  for (const auto& operation : nodeOperations()) {
    if (auto helper = operation->taskHelper()) {
      if (auto task = helper->task()) tasks.push_back(std::move(task));
    }
    operation->cancelSilently(true);
  }
  if (!tasks.empty()) {
    platform::Task::stopProcessGroups(tasks, platform::Seconds(kStopGracePeriod),
                                      platform::Seconds(kStopWaitLimit));
  }
}

void QVTimerQueue::registerObservers() {
  std::weak_ptr<QVTimerQueue> weakSelf = weak_from_this();
  auto handler = [weakSelf](void (QVTimerQueue::*method)()) {
    return [weakSelf, method](const platform::Notification&) {
      onMain([weakSelf, method] {
        if (auto self = weakSelf.lock()) ((*self).*method)();
      });
    };
  };
  auto& center = platform::NotificationCenter::defaultCenter();
  auto& workspace = platform::NotificationCenter::workspaceCenter();
  observers_.push_back(workspace.addObserverForName(QVWorkspaceWillSleepNotification, nullptr,
                                                    handler(&QVTimerQueue::computerWillSleep)));
  observers_.push_back(workspace.addObserverForName(QVWorkspaceDidWakeNotification, nullptr,
                                                    handler(&QVTimerQueue::computerDidWake)));
  observers_.push_back(center.addObserverForName(QVDockableWindowDidHideNotification, nullptr,
                                                 handler(&QVTimerQueue::windowDidHide)));
  observers_.push_back(center.addObserverForName(QVDockableWindowWillShowNotification, nullptr,
                                                 handler(&QVTimerQueue::windowWillShow)));
  observers_.push_back(center.addObserverForName(QVApplicationWillTerminateNotification, nullptr,
                                                 handler(&QVTimerQueue::cancel)));
  observers_.push_back(center.addObserverForName(QVReachabilityChangedNotification, nullptr,
                                                 [weakSelf](const platform::Notification& notification) {
                                                   onMain([weakSelf, notification] {
                                                     if (auto self = weakSelf.lock())
                                                       self->reachabilityChanged(notification);
                                                   });
                                                 }));
  observers_.push_back(center.addObserverForName(QVDashboardOutputDidChangeNotification, nullptr,
                                                 handler(&QVTimerQueue::wakeIfNeeded)));
}

bool QVTimerQueue::isTicking() const { return timer_ != nullptr || resting_; }

void QVTimerQueue::stopTimer() {
  resting_ = false;
  if (timer_) {
    timer_->invalidate();
    timer_.reset();
  }
}

void QVTimerQueue::configureTimer() {
  cancel();
  timer_ = ZKTimer::timerWithInterval(interval_, true, shared_from_this(),
                                      [](QVTimerQueue& queue) { queue.timerDidFire(); });
  timerDidFire();
}

void QVTimerQueue::cancel() {
  cancelAllOperations();
  stopTimer();
}

std::vector<QVNodeOperation::Pointer> QVTimerQueue::nodeOperations() const {
  std::vector<QVNodeOperation::Pointer> result;
  for (const auto& operation : operations()) {
    if (auto node = std::dynamic_pointer_cast<QVNodeOperation>(operation)) result.push_back(std::move(node));
  }
  return result;
}

QVNodeOperation::Pointer QVTimerQueue::makeOperation(const QVDashboardModule::Pointer& module,
                                                     bool marksUpdating) const {
  auto operation = QVNodeOperation::operationWithModule(module);
  if (marksUpdating) operation->markModuleUpdating();
  // A run that ends without a new result still changes what the dashboard shows (no longer updating),
  // and so does one dropped before it started.
  std::weak_ptr<QVNodeOperation> weakOperation = operation;
  operation->setCompletionBlock([manager = manager_, weakOperation] {
    if (auto run = weakOperation.lock()) run->releaseUpdatingMarkIfNeverRan();
    if (auto owner = manager.lock()) owner->saveOutput();
  });
  return operation;
}

void QVTimerQueue::timerDidFire() {
  if (const auto count = operationCount(); count > 0) {
    platform::log("Waiting for {} to finish", count);
    return;
  }
  cancelAllOperations();
  auto manager = manager_.lock();
  if (!manager) return;
  std::vector<std::shared_ptr<platform::Operation>> operations;
  for (const auto& module : manager->modulesForRefreshInterval(interval_)) {
    operations.push_back(makeOperation(module));
  }
  if (!operations.empty()) {
    addOperations(operations, false);
  } else if (timer_) {
    // Nothing of this interval to run: no wake-ups until the dashboard gives it a module.
    stopTimer();
    resting_ = true;
  }
}

void QVTimerQueue::wakeIfNeeded() {
  if (!resting_) return;
  auto manager = manager_.lock();
  if (!manager || manager->modulesForRefreshInterval(interval_).empty()) return;
  resting_ = false;
  // The module that woke the queue has just run or been asked to: its next run is a full interval on.
  timer_ = ZKTimer::timerWithInterval(interval_, true, shared_from_this(),
                                      [](QVTimerQueue& queue) { queue.timerDidFire(); });
}

void QVTimerQueue::runModule(const QVDashboardModule::Pointer& module) {
  if (!module) return;
  for (const auto& operation : nodeOperations()) {
    if (operation->module() == module) operation->cancel();
  }
  auto operation = makeOperation(module, true);
  module->setLastResult(nullptr);
  addOperation(operation);
  wakeIfNeeded();
}

void QVTimerQueue::reloadFailedModules() {
  auto manager = manager_.lock();
  if (!manager) return;
  const auto modules = manager->modulesForRefreshInterval(interval_);
  if (modules.empty()) return;
  std::vector<std::shared_ptr<platform::Operation>> operations;
  const auto existing = nodeOperations();
  for (const auto& module : modules) {
    auto result = module->lastResult();
    if (result && result->success()) continue;
    for (const auto& operation : existing) {
      if (operation->module() == module) operation->cancelSilently(true);
    }
    operations.push_back(makeOperation(module));
  }
  if (!operations.empty()) addOperations(operations, false);
}

void QVTimerQueue::windowDidHide() {
  windowHidden_ = true;
  if (isShortInterval()) cancel();
}

void QVTimerQueue::windowWillShow() {
  windowHidden_ = false;
  if (isShortInterval()) configureTimer();
}

void QVTimerQueue::computerWillSleep() { stopTimer(); }

void QVTimerQueue::computerDidWake() {
  // A short interval does not run in the background: with the window hidden it waits for the window.
  if (isShortInterval() && windowHidden_) return;
  configureTimer();
}

void QVTimerQueue::reachabilityChanged(const platform::Notification& notification) {
  auto monitor = notification.objectAs<QVNetworkReachability>();
  if (monitor && monitor->isReachable()) reloadFailedModules();
}
