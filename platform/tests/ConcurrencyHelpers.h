#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace qvtesting {

// A one-way gate: threads wait until it is opened (or a deadline passes, so a broken test fails
// instead of hanging).
class Gate {
 public:
  void open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }
  bool wait(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return open_; });
  }
  bool isOpen() const {
    std::lock_guard lock(mutex_);
    return open_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = false;
};

// Counts what is in flight at once and remembers the most seen.
class HighWaterMark {
 public:
  void enter() {
    int now = ++current_;
    int seen = highest_.load();
    while (now > seen && !highest_.compare_exchange_weak(seen, now)) {
    }
  }
  void leave() { --current_; }
  int current() const { return current_.load(); }
  int highest() const { return highest_.load(); }

 private:
  std::atomic<int> current_{0};
  std::atomic<int> highest_{0};
};

}  // namespace qvtesting
