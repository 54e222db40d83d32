#pragma once

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>

namespace platform {

// A handle on a scheduled timer or delayed call. Cancelling is idempotent; once cancel() returns
// on the main thread the callback will not run again.
class TimerHandle {
 public:
  virtual ~TimerHandle() = default;
  virtual void cancel() = 0;
  virtual bool isValid() const = 0;
};

using Seconds = std::chrono::duration<double>;

// The span as a steady-clock duration; a negative one counts as none.
inline std::chrono::steady_clock::duration steadyDuration(Seconds seconds) {
  return std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::max(seconds, Seconds(0)));
}

// The application's main thread, through which every other thread reaches engine state. One main
// queue is installed per process: the Qt event loop in the application, an Asio io_context in
// tests and headless tools.
class MainQueue {
 public:
  virtual ~MainQueue() = default;

  // Runs the function on the main thread, after what is already queued.
  virtual void post(std::function<void()> fn) = 0;
  // Runs the function once, after the delay, unless cancelled first.
  virtual std::shared_ptr<TimerHandle> postAfter(Seconds delay, std::function<void()> fn) = 0;
  // A timer that fires after `interval`, then every `interval` while `repeats`, until cancelled.
  virtual std::shared_ptr<TimerHandle> scheduleTimer(Seconds interval, bool repeats,
                                                     std::function<void()> fn) = 0;
  // True on the thread that runs this queue.
  virtual bool isCurrent() const = 0;

  // Runs the function on the main thread and waits for it (runs it at once when already there).
  void sync(const std::function<void()>& fn);

  // The process's main queue; installing replaces the previous one (tests install their own).
  static void install(std::shared_ptr<MainQueue> queue);
  static std::shared_ptr<MainQueue> shared();
  // True when a main queue is installed and the caller is on its thread.
  static bool isMainThread();
};

// Shorthands for the installed main queue.
void postToMain(std::function<void()> fn);
std::shared_ptr<TimerHandle> postToMainAfter(Seconds delay, std::function<void()> fn);

}  // namespace platform
