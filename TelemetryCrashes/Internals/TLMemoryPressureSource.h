#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

// Memory-pressure events of the system: a pressure-stall trigger on /proc/pressure/memory (stalls of
// 150 ms within a second), watched on a thread of its own and handed to the main queue. Where the
// trigger cannot be set (no pressure-stall information, no permission) the source stays quiet.
class TLMemoryPressureSource {
 public:
  explicit TLMemoryPressureSource(std::function<void()> handler);
  ~TLMemoryPressureSource();
  TLMemoryPressureSource(const TLMemoryPressureSource&) = delete;
  TLMemoryPressureSource& operator=(const TLMemoryPressureSource&) = delete;

  // Starts watching.
  void resume();
  // Stops for good: once it returns no event is delivered any more.
  void cancel();
  // Whether the system accepted the trigger.
  bool isWatching() const { return triggerFd_ >= 0; }
  // An event as the system would report it (tests).
  void injectEvent();

 private:
  void deliver();

  struct Shared {
    std::function<void()> handler;
    std::atomic<bool> cancelled{false};
  };
  std::shared_ptr<Shared> shared_;
  int triggerFd_ = -1;
  int wakeFd_ = -1;
  std::thread watcher_;
};
