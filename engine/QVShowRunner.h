#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "engine/QVDashboardModule.h"
#include "engine/QVTimerQueue.h"

class QVDashboardModuleManager;

// The owner of the run queues, one per refresh interval of the interval table, and the entry point
// for a user-initiated run ("run now") and for snapping an interval to the table.
//
// The application starts it once, half a second after its window step (start()); at termination the
// queues stop on "NSApplicationWillTerminateNotification" (or stop()). Main thread only.
class QVShowRunner : public std::enable_shared_from_this<QVShowRunner> {
 public:
  using Pointer = std::shared_ptr<QVShowRunner>;

  // The application's runner, over the shared manager; it is the handler of the engine's run requests
  // (QVEngineEnvironment::runModule) from its creation.
  static Pointer sharedInstance();
  // A runner of its own over the given manager (tests), not installed as the run handler.
  static Pointer make(std::weak_ptr<QVDashboardModuleManager> manager);

  // Makes the engine's run requests (a ready module added to a group) come here.
  void installAsRunModuleHandler();

  // Builds the nine queues, in table order; each ticks at once. A second start replaces the queues.
  void start();
  // Stops every queue: its runs and its timer; waits (bounded, under 2 s) until every module process
  // is gone.
  void stop();
  // The user asked for a run now: logged in the module's log, refused with a warning line when the
  // application is too old for the package or required options are empty, else queued at once on the
  // queue of the module's interval (nothing runs for an interval outside the table).
  void runModule(const QVDashboardModule::Pointer& module);
  // The table member nearest to the interval (ties go up); -1 stays -1, or becomes 3600 when a
  // default is asked for.
  double closestAvailableTimeIntervalWithInterval(double interval, bool returnDefaultInterval) const;

  // The queues in table order; empty before start().
  std::vector<QVTimerQueue::Pointer> timerQueues() const;
  // The queue whose interval equals the given one exactly, or nullptr.
  QVTimerQueue::Pointer timerQueueWithInterval(double interval) const;

  explicit QVShowRunner(std::weak_ptr<QVDashboardModuleManager> manager) : manager_(std::move(manager)) {}

 private:
  const std::weak_ptr<QVDashboardModuleManager> manager_;
  mutable std::mutex mutex_;
  std::vector<QVTimerQueue::Pointer> timerQueues_;
};
