#pragma once

#include <functional>
#include <memory>

#include "platform/DispatchQueue.h"

namespace platform {

// A repeating timer whose handler runs on a dispatch queue.
//
// The handler never runs twice at once, even on a concurrent queue; the next firing is planned
// when the handler returns, on the cadence of the interval (a handler that overruns is followed
// by one firing at once, not a burst).
//
// cancel() works from any thread and is final: once it returns, the handler does not start again,
// and a handler running on another thread has returned. Called from inside the handler, it returns
// at once and no firing follows the current one. A handler must not block on the thread that
// cancels its timer, or the two wait for each other.
//
// Destroying the timer cancels it. The timer keeps its queue alive.
class DispatchTimer {
 public:
  static std::shared_ptr<DispatchTimer> make(std::shared_ptr<DispatchQueue> queue,
                                             std::function<void()> handler);
  ~DispatchTimer();
  DispatchTimer(const DispatchTimer&) = delete;
  DispatchTimer& operator=(const DispatchTimer&) = delete;

  // Fires after one interval, then every interval. An interval of zero or less fires once.
  // Starting again replaces the schedule. The leeway is how late a firing may come; it is
  // accepted for callers that state it, firings are not deliberately delayed.
  void start(Seconds interval, Seconds leeway = Seconds(0));
  // Fires after the delay, then every interval.
  void startAfter(Seconds delay, Seconds interval, Seconds leeway = Seconds(0));

  void cancel();
  bool isCancelled() const;

  const std::shared_ptr<DispatchQueue>& queue() const { return queue_; }

  struct State;

 private:
  DispatchTimer(std::shared_ptr<DispatchQueue> queue, std::shared_ptr<State> state);

  std::shared_ptr<DispatchQueue> queue_;
  std::shared_ptr<State> state_;
};

}  // namespace platform
