#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "engine/ZKTaskHelper.h"
#include "platform/MainQueue.h"
#include "platform/Operation.h"

class QVDashboardModule;
class QVNotificationCenter;

// One run of one module: writes the module's option values to an arguments file, runs its script
// with the Node.js runtime of the resource folder ("node/node") as a child process, turns each line
// the script prints into a log line, a notification or the module's result, retries a run that
// ended without a result (up to 3 times, 0.1 s apart) and then finishes. An asynchronous operation
// for the run queues (at most 3 at once per queue).
//
// The module process protocol:
// - arguments: the script path; "--arguments" and the arguments file when the module has options;
//   "--uid" and the module's uid; "--dbPath" and its database path when it has one;
// - environment: "NODE_PATH" (the resource folder's "node/app/node_modules") and nothing else;
// - working folder: the script's folder;
// - standard output: one JSON object per line, {"type": "log"|"info"|"warn"|"error", "options": [...]},
//   {"type": "finished", "options": {"result": ..., "success": ..., "options": {...}}} or
//   {"type": "notification", "options": [{"id": ..., "message": ...}]}; standard error: free text.
//
// The arguments file may hold secure values: it is made with mode 0600 (never over an existing
// file) in a folder of mode 0700 under the runtime folder, and deleted when the attempt is cleaned
// up. When it cannot be written, the attempt fails with a system log line; the module never runs
// without its options.
//
// An attempt is judged only after the process has ended and both of its pipes reached their end (or
// were given up after the drain timeout), so a last "finished" line is never lost.
//
// Stopping (cancel, cancelSilently) is final: a stopped operation never launches a process, whether it
// was waiting in its queue (the queue then drops it without running it), its launch was already
// posted to the main thread, or it was waiting between two attempts. A running process is stopped
// with its whole process group. An operation that never started leaves the module's isUpdating as
// it is.
//
// Threads: main() runs on a queue worker; the process is launched on the main thread; output is read
// and turned into log lines, results and notifications on the process reactor thread; the retry runs
// on the main thread. Every public operation is safe from any thread, and none of them waits for the
// reactor thread. Observers of the module's result and log are called on the reactor thread, which
// reads every run's output: they should hand longer work to another thread.
class QVNodeOperation : public platform::Operation, public ZKTaskHelperDelegate {
 public:
  using Pointer = std::shared_ptr<QVNodeOperation>;

  // Attempts after the first, at most.
  static constexpr std::int64_t kMaximumRetries = 3;
  // Seconds between an attempt without result and the next.
  static constexpr double kRetryDelay = 0.1;
  // A run still going after max(this, the module's refresh interval) seconds is stopped with its
  // process group and ends as a failed attempt (an error line saying it timed out, no retry), so
  // that one hung module cannot hold back the other modules of its queue for ever.
  static constexpr double kMinimumRunTimeout = 30.0;

  // A new operation holding the module weakly.
  static Pointer operationWithModule(const std::shared_ptr<QVDashboardModule>& module);
  static Pointer initWithModule(const std::shared_ptr<QVDashboardModule>& module) {
    return operationWithModule(module);
  }
  ~QVNodeOperation() override;

  // The folder of the arguments files: "<runtime folder>/Module Arguments", mode 0700 (made or
  // repaired on each call); empty when it cannot be made safe.
  static std::filesystem::path argumentsDirectory();

  std::shared_ptr<QVDashboardModule> module() const;
  std::shared_ptr<ZKTaskHelper> taskHelper() const;
  // The current attempt's arguments file, if any.
  std::optional<std::string> argumentsPath() const;
  // Attempts made after the first.
  std::int64_t retryCount() const;
  bool zkExecuting() const;
  bool completed() const;

  bool isAsynchronous() const override { return true; }
  // Starts the run (queue worker).
  void main() override;
  // Prepares one attempt and asks the main thread to launch it; false when it cannot be prepared.
  bool run();
  // Prepares the attempt: arguments file, checks, process description.
  bool configureTaskHelper();
  // Writes the arguments file: its path, or nullopt when the module has no user options, or when it
  // failed (`failed` then set).
  std::optional<std::string> moduleArgumentsPath(bool* failed = nullptr);

  // cancelSilently(false).
  void cancel() override;
  // Stops the run for good; unless silent adds the cancellation error line to the module's log.
  void cancelSilently(bool silent);
  // Deletes the arguments file.
  void cleanup();
  // true: clean up, leave the executing state (the module's isUpdating becomes false) and finish.
  void setCompleted(bool completed);
  // Stores the flag and copies it to the module's isUpdating.
  void setZkExecuting(bool executing);
  // A run asked for now: the module shows as updating from the moment it is queued.
  void markModuleUpdating();
  // For the completion: a run dropped before it started takes back what markModuleUpdating set.
  void releaseUpdatingMarkIfNeverRan();
  // How long the run may take (see kMinimumRunTimeout).
  platform::Seconds runTimeout() const;
  // Replaces the run timeout of every operation (tests); nullopt restores it.
  static void setRunTimeoutOverride(std::optional<platform::Seconds> timeout);

  // The centre that notification lines go to; the shared centre unless set.
  void setNotificationCenter(std::shared_ptr<QVNotificationCenter> center);
  // How long a stopped process has after SIGTERM, and how long the end of an attempt waits for the
  // pipes once the process exited (defaults 5 s and 2 s).
  void setTerminationGracePeriod(platform::Seconds period);
  void setPipeDrainTimeout(platform::Seconds timeout);

  // The helper's reports (reactor thread).
  void taskHelperDidReceiveOutput(ZKTaskHelper& helper, const platform::Data& bytes) override;
  void taskHelperDidReceiveError(ZKTaskHelper& helper, const platform::Data& bytes) override;
  void taskHelperDidFinish(ZKTaskHelper& helper, platform::TaskTerminationReason reason) override;

  // Public for std::make_shared; use operationWithModule.
  explicit QVNodeOperation(const std::shared_ptr<QVDashboardModule>& module);

 private:
  struct Attempt;
  // The attempt `helper` belongs to, or nullptr when it is not the current one.
  std::shared_ptr<Attempt> attemptFor(const ZKTaskHelper& helper) const;
  // Main thread: launches the attempt's process unless the operation was stopped meanwhile.
  void launchAttempt(const std::shared_ptr<ZKTaskHelper>& helper);
  // Main thread, kRetryDelay after an attempt without result.
  void retry();
  // Main thread, runTimeout() after main() began.
  void timedOut();
  // Calls `action` on the main thread after `delay` (the operation held weakly) and keeps the timer
  // in `slot`, unless the operation stopped meanwhile; false without a main queue.
  bool scheduleOnMain(platform::Seconds delay, void (QVNodeOperation::*action)(),
                      std::shared_ptr<platform::TimerHandle> QVNodeOperation::*slot);
  // One line of standard output.
  void handleOutputLine(std::string_view line);
  void dispatchOutputValue(const std::shared_ptr<QVDashboardModule>& module, const nlohmann::json& value);
  bool isStopped() const;

  const std::weak_ptr<QVDashboardModule> module_;

  mutable std::mutex mutex_;
  std::shared_ptr<ZKTaskHelper> taskHelper_;
  std::shared_ptr<Attempt> attempt_;
  std::optional<std::string> argumentsPath_;
  std::int64_t retryCount_ = 0;
  bool zkExecuting_ = false;
  bool completed_ = false;
  bool stopped_ = false;
  std::shared_ptr<platform::TimerHandle> retryTimer_;
  std::shared_ptr<platform::TimerHandle> timeoutTimer_;
  bool ran_ = false;            // main() was entered
  bool marksUpdating_ = false;  // markModuleUpdating() set the module's isUpdating
  std::shared_ptr<QVNotificationCenter> notificationCenter_;
  platform::Seconds gracePeriod_{5.0};
  platform::Seconds drainTimeout_{2.0};

  // Held while a process is launched and while a stop reaches it, so that a stop either comes before
  // the launch decision (and no process starts) or after the launch (and stops the process).
  std::mutex launchMutex_;
};
