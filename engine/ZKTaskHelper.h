#pragma once

#include <any>
#include <memory>
#include <mutex>

#include "platform/Data.h"
#include "platform/Task.h"

class ZKTaskHelper;

// What a ZKTaskHelper tells its owner. Every call comes on the process reactor thread, one at a time:
// the bytes of each pipe in order, and the end report last, once the process has ended and both pipes
// reached their end (or were given up after the drain timeout), so no output follows it.
class ZKTaskHelperDelegate {
 public:
  virtual ~ZKTaskHelperDelegate() = default;
  // One read of standard output (never empty).
  virtual void taskHelperDidReceiveOutput(ZKTaskHelper& /*helper*/, const platform::Data& /*bytes*/) {}
  // One read of standard error (never empty).
  virtual void taskHelperDidReceiveError(ZKTaskHelper& /*helper*/, const platform::Data& /*bytes*/) {}
  // Once, when the process has ended or could not be launched (reason UncaughtSignal then).
  virtual void taskHelperDidFinish(ZKTaskHelper& /*helper*/, platform::TaskTerminationReason /*reason*/) {}
};

// One child process for one launch: hands its standard output and standard error to the delegate as
// they are read and reports its end once. The processes the child starts share its process group;
// whatever is left of that group when the child ends, is cancelled or has its pipes given up is
// stopped (TERM, then KILL after the grace period), and the child is reaped.
//
// Threads: launch, cancel and the accessors may be called from any thread, and never wait for a
// delegate call: once cancel() or cleanup() returns, no delegate call starts, though one already
// under way on the reactor thread may still be finishing (it may be waiting for the very thread
// that cancels).
class ZKTaskHelper : public std::enable_shared_from_this<ZKTaskHelper> {
 public:
  // A helper for the described (not yet launched) task.
  static std::shared_ptr<ZKTaskHelper> taskHelperWithTask(std::shared_ptr<platform::Task> task);
  ZKTaskHelper(const ZKTaskHelper&) = delete;
  ZKTaskHelper& operator=(const ZKTaskHelper&) = delete;

  // The task until clean-up, then nullptr.
  std::shared_ptr<platform::Task> task() const;
  // Held weakly.
  std::shared_ptr<ZKTaskHelperDelegate> delegate() const;
  void setDelegate(const std::shared_ptr<ZKTaskHelperDelegate>& delegate);
  // Free for the owner.
  std::any userInfo() const;
  void setUserInfo(std::any userInfo);

  // Starts the process; does nothing once launched or cleaned up. A launch failure is logged
  // ("Task failed to launch because of exception" and the reason) and reported as an end.
  void launch();
  // After launch: terminates the process group and cleans up, so that no delegate call starts once
  // it returns. Before launch, or after clean-up, does nothing.
  void cancel();
  // SIGSTOP and SIGCONT to the process group; false when it is not running.
  bool suspend();
  bool resume();

  // The end report: tells the delegate, then cleans up.
  void taskCompleted(const platform::TaskTermination& termination);
  // Stops the reports and drops the task; bytes not read by then are not reported.
  void cleanup();

  // Public for std::make_shared; use taskHelperWithTask.
  explicit ZKTaskHelper(std::shared_ptr<platform::Task> task);

 private:
  // The delegate while reports are wanted, else nullptr.
  std::shared_ptr<ZKTaskHelperDelegate> reportingDelegate() const;
  // Stops the reports and lets the task go; `onReactorThread` inside the task's own handler.
  void release(bool onReactorThread);

  mutable std::mutex mutex_;
  std::shared_ptr<platform::Task> task_;
  std::weak_ptr<ZKTaskHelperDelegate> delegate_;
  std::any userInfo_;
  bool launched_ = false;
  bool reporting_ = true;
};
