#include "engine/QVShowRunner.h"

#include <fmt/format.h>

#include "engine/QVDashboardModuleManager.h"
#include "engine/QVEngineEnvironment.h"
#include "engine/QVModuleLog.h"
#include "engine/QVModuleLogLine.h"
#include "engine/RefreshIntervals.h"
#include "platform/MainQueue.h"
#include "platform/Task.h"

QVShowRunner::Pointer QVShowRunner::sharedInstance() {
  // Made once and never destroyed: runs may still report while the process exits.
  static Pointer* shared = [] {
    auto* runner = new Pointer(make(QVDashboardModuleManager::sharedInstance()));
    (*runner)->installAsRunModuleHandler();
    return runner;
  }();
  return *shared;
}

QVShowRunner::Pointer QVShowRunner::make(std::weak_ptr<QVDashboardModuleManager> manager) {
  return std::make_shared<QVShowRunner>(std::move(manager));
}

void QVShowRunner::installAsRunModuleHandler() {
  std::weak_ptr<QVShowRunner> weakSelf = weak_from_this();
  QVEngineEnvironment::setRunModuleHandler([weakSelf](const QVDashboardModule::Pointer& module) {
    auto run = [weakSelf, module] {
      if (auto self = weakSelf.lock()) self->runModule(module);
    };
    auto main = platform::MainQueue::shared();
    if (!main) return;
    if (main->isCurrent()) {
      run();
    } else {
      main->post(run);
    }
  });
}

void QVShowRunner::start() {
  std::vector<QVTimerQueue::Pointer> queues;
  for (const auto& entry : availableRefreshIntervals()) {
    // Intervals are compared as the modules store them, at single precision.
    const double interval = static_cast<double>(static_cast<float>(entry.interval));
    queues.push_back(QVTimerQueue::timerQueueWithInterval(interval, manager_));
  }
  std::vector<QVTimerQueue::Pointer> old;
  {
    std::lock_guard lock(mutex_);
    old = std::exchange(timerQueues_, std::move(queues));
  }
  for (const auto& queue : old) queue->cancel();
}

void QVShowRunner::stop() {
  for (const auto& queue : timerQueues()) queue->cancel();
  // The runs' processes are gone before this returns (bounded): the program may be exiting, and
  // the KILL that follows a TERM would die with it.
  platform::Task::stopAllProcessGroups(platform::Seconds(QVTimerQueue::kStopGracePeriod),
                                       platform::Seconds(QVTimerQueue::kStopWaitLimit));
}

void QVShowRunner::runModule(const QVDashboardModule::Pointer& module) {
  if (!module) return;
  auto log = module->log();
  auto addLine = [&log](QVModuleLogLine::Pointer line) {
    if (log) log->addLogLine(std::move(line));
  };
  addLine(QVModuleLogLine::systemLogWithString("User Initiated Run"));
  if (!module->canBeInstalled()) {
    addLine(QVModuleLogLine::warningLogWithString(
        fmt::format("This module requires Quorvane Dashboard version {}. You're running version: {}",
                    module->minAppVersion().value_or("(null)"), QVEngineEnvironment::appShortVersion())));
    module->setLastResult(nullptr);
    return;
  }
  if (!module->hasAllRequiredFields()) {
    addLine(QVModuleLogLine::warningLogWithString(
        "Not running module because it's missing some required fields"));
    return;
  }
  if (auto queue = timerQueueWithInterval(module->refreshInterval())) queue->runModule(module);
}

double QVShowRunner::closestAvailableTimeIntervalWithInterval(double interval,
                                                              bool returnDefaultInterval) const {
  return ::closestAvailableTimeIntervalWithInterval(interval, returnDefaultInterval);
}

std::vector<QVTimerQueue::Pointer> QVShowRunner::timerQueues() const {
  std::lock_guard lock(mutex_);
  return timerQueues_;
}

QVTimerQueue::Pointer QVShowRunner::timerQueueWithInterval(double interval) const {
  for (const auto& queue : timerQueues()) {
    if (queue->interval() == interval) return queue;
  }
  return nullptr;
}
