#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>

#include "platform/MainQueue.h"

namespace platform {

// A queue of work run on background threads, serial (one task at a time, in order) or concurrent
// (tasks start in order, up to a width at once).
//
// Threads: each queue starts worker threads only while it has work, never more than its width (one
// for a serial queue), and a worker that stays idle for the idle timeout (5 s by default) exits.
// There is never a thread per task.
//
// Lifetime: destroying the last handle of a queue lets the tasks already queued run to their end,
// then joins the queue's threads before returning; calls scheduled with after() that have not fired
// yet are dropped. When the last handle is dropped by one of the queue's own tasks, the remaining
// tasks still run and the workers leave on their own afterwards (a thread cannot join itself).
// Dropping a queue therefore waits for its queued work: keep the handle for as long as work is
// meant to run in the background.
class DispatchQueue {
 public:
  static constexpr std::size_t kDefaultConcurrentWidth = 64;

  static std::shared_ptr<DispatchQueue> serial(std::string label);
  static std::shared_ptr<DispatchQueue> concurrent(std::string label,
                                                   std::size_t maxThreads = kDefaultConcurrentWidth);
  // The process-wide concurrent queue for work that needs no queue of its own.
  static std::shared_ptr<DispatchQueue> global();

  ~DispatchQueue();
  DispatchQueue(const DispatchQueue&) = delete;
  DispatchQueue& operator=(const DispatchQueue&) = delete;

  const std::string& label() const;
  bool isSerial() const;
  std::size_t maxThreads() const;

  // Queues the function and returns at once. An exception escaping the function is logged.
  void async(std::function<void()> fn);

  // Runs the function on the queue and waits for it; answers its result and passes on what it
  // throws. Called from a task already running on this queue, it runs the function inline at once:
  // waiting for the queue from inside it would never end.
  template <typename F>
  std::invoke_result_t<F&> sync(F&& fn) {
    using Result = std::invoke_result_t<F&>;
    if constexpr (std::is_void_v<Result>) {
      syncCall([&fn] { fn(); });
    } else {
      std::optional<Result> result;
      syncCall([&fn, &result] { result.emplace(fn()); });
      return std::move(*result);
    }
  }

  // Queues the function after the delay. Cancelling the handle before the function starts keeps it
  // from running; dropping the handle does not cancel.
  std::shared_ptr<TimerHandle> after(Seconds delay, std::function<void()> fn);

  // True while the calling thread runs a task of this queue.
  bool isCurrent() const;

  // How long a worker waits for new work before it exits.
  void setIdleTimeout(Seconds timeout);
  // Worker threads alive now (for diagnostics and tests).
  std::size_t threadCount() const;

  struct Impl;

 private:
  explicit DispatchQueue(std::shared_ptr<Impl> impl);
  void syncCall(const std::function<void()>& fn);

  std::shared_ptr<Impl> impl_;
};

}  // namespace platform
