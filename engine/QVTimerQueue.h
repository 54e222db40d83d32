#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/QVDashboardModule.h"
#include "engine/QVNodeOperation.h"
#include "platform/NotificationCenter.h"
#include "platform/OperationQueue.h"

class QVDashboardModuleManager;
class ZKTimer;

// The run queue of one refresh interval: an operation queue running at most 3 module runs at once,
// with a repeating timer. Each tick runs every configured module of the interval, unless runs of the
// previous tick are still queued or running (then the tick is skipped, with the log line "Waiting for
// %ld to finish").
//
// A queue whose interval has no configured module rests: a tick that finds nothing to run and nothing
// running lets the timer go, so that an idle program is not woken for nothing. The queue sets its
// timer again (without a tick at once) as soon as a change of the dashboard gives the interval a module
// to run: every edit, group change and run result ends in "QVDashboardOutputDidChange", which it
// follows while resting; a run asked of it with runModule() wakes it too.
//
// It follows the desktop's events (see QVRunNotifications.h):
// - the dashboard window hidden: queues of intervals below 60 s stop (their runs end with the
//   cancellation line); shown again: they restart with a tick at once;
// - sleep: the timer stops (runs under way go on); wake: the queue restarts with a tick at once,
//   except a short-interval queue while the window is hidden, which waits for the window;
// - the network back: the modules whose last result is missing or failed run again at once;
// - termination: every run and the timer stop.
//
// Threads: everything runs on the main thread (events from other threads are moved there); the runs
// execute on the queue's workers.
class QVTimerQueue : public platform::OperationQueue, public std::enable_shared_from_this<QVTimerQueue> {
 public:
  using Pointer = std::shared_ptr<QVTimerQueue>;

  static constexpr std::int64_t kMaximumConcurrentRuns = 3;
  // Intervals below this stop while the dashboard window is hidden.
  static constexpr double kBackgroundIntervalCutoff = 60.0;
  // When runs are stopped for good (a queue destroyed, the program terminating): seconds between
  // the TERM and the KILL to the runs' process groups, and the longest wait until they are gone.
  static constexpr double kStopGracePeriod = 0.5;
  static constexpr double kStopWaitLimit = 1.5;

  // A queue for the interval that asks the manager which modules to run. It starts ticking at once.
  static Pointer timerQueueWithInterval(double interval, std::weak_ptr<QVDashboardModuleManager> manager);
  // Stops the timer, the observing and the runs (silently), and waits (at most kStopWaitLimit)
  // until the runs' processes are gone.
  ~QVTimerQueue() override;

  double interval() const { return interval_; }
  // True while the queue runs: its repeating timer set, or resting until its interval has a module.
  bool isTicking() const;
  // True while the queue rests with no timer set (nothing of its interval to run).
  bool isResting() const { return resting_; }

  // Restarts: cancel(), a new repeating timer, one tick at once.
  void configureTimer();
  // One tick.
  void timerDidFire();
  // Stops every run (with the cancellation line) and the timer.
  void cancel();
  // Runs the module now: its runs in this queue stop, its result is cleared, a new run is queued
  // whatever else the queue holds. Should that run be dropped before it starts (the queue stopped),
  // the module no longer shows as updating.
  void runModule(const QVDashboardModule::Pointer& module);
  // Runs again, at once, the configured modules of the interval whose last result is missing or
  // failed; their runs still in the queue stop silently.
  void reloadFailedModules();

  // The event handlers.
  void windowDidHide();
  void windowWillShow();
  void computerWillSleep();
  void computerDidWake();
  void reachabilityChanged(const platform::Notification& notification);

  // The module runs in the queue (waiting and executing), in order.
  std::vector<QVNodeOperation::Pointer> nodeOperations() const;

  // Use the factory; public for std::make_shared.
  QVTimerQueue(double interval, std::weak_ptr<QVDashboardModuleManager> manager);

 private:
  void registerObservers();
  bool isShortInterval() const { return interval_ < kBackgroundIntervalCutoff; }
  void stopTimer();
  // Sets the timer again when the queue rests and its interval now has a module to run.
  void wakeIfNeeded();
  // A run of the module that tells the manager when it has ended; `marksUpdating`: the module shows
  // as updating from now on (run now), until the run ends or is dropped.
  QVNodeOperation::Pointer makeOperation(const QVDashboardModule::Pointer& module,
                                         bool marksUpdating = false) const;

  const double interval_;
  const std::weak_ptr<QVDashboardModuleManager> manager_;
  // Main thread only.
  std::shared_ptr<ZKTimer> timer_;
  bool windowHidden_ = false;
  // The timer was let go by a tick that found nothing to run (not stopped by hide, sleep or cancel).
  bool resting_ = false;
  std::vector<platform::ObserverToken> observers_;
};
