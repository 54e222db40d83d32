#pragma once

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <atomic>
#include <functional>
#include <optional>
#include <thread>

#include "platform/MainQueue.h"

namespace platform {

// The main queue of tests and headless tools: an Asio io_context driven by whoever calls run().
class AsioMainQueue : public MainQueue, public std::enable_shared_from_this<AsioMainQueue> {
 public:
  static std::shared_ptr<AsioMainQueue> make();
  ~AsioMainQueue() override;

  void post(std::function<void()> fn) override;
  std::shared_ptr<TimerHandle> postAfter(Seconds delay, std::function<void()> fn) override;
  std::shared_ptr<TimerHandle> scheduleTimer(Seconds interval, bool repeats,
                                             std::function<void()> fn) override;
  bool isCurrent() const override;

  // Runs on the calling thread until stop().
  void run();
  // Runs on the calling thread until the predicate holds (checked after each handler) or the
  // timeout passes; answers the predicate's last value.
  bool runUntil(const std::function<bool()>& predicate, Seconds timeout);
  // Runs for the given time, then returns.
  void runFor(Seconds duration);
  // Makes run() return; handlers still queued stay queued for a later run.
  void stop();

  asio::io_context& context() { return context_; }

 private:
  AsioMainQueue();
  class RunningScope;

  asio::io_context context_;
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  std::atomic<std::thread::id> runner_{};
};

}  // namespace platform
