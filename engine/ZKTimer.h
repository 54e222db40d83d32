#pragma once

#include <any>
#include <concepts>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/MainQueue.h"

// A timer on the main queue that is scheduled the moment it is made and calls either a block or an
// action on a weakly held target. While scheduled it keeps itself alive, so a timer fires even when
// its maker dropped it; owners keep the pointer to invalidate it. Timers fire on the main thread; make
// and run them there. invalidate() is safe from any thread (an owner may be released elsewhere).
class ZKTimer : public std::enable_shared_from_this<ZKTimer> {
 public:
  using DidFinishBlock = std::function<void(ZKTimer&)>;

  // A timer calling the block on each firing (once when not repeating).
  static std::shared_ptr<ZKTimer> timerWithInterval(double interval, bool repeats, std::any userInfo,
                                                    DidFinishBlock didFinishBlock);
  static std::shared_ptr<ZKTimer> timerWithInterval(double interval, bool repeats,
                                                    DidFinishBlock didFinishBlock);

  // A timer sending the action to the target on each firing. The target is held weakly: once it is
  // gone a firing does nothing (and the timer stops, since nothing can revive the target). The
  // action is a member function or a callable taking the target, with or without the timer as
  // sender: `&Queue::timerDidFire`, `[](Log& log) { log.actuallySave(); }`.
  template <typename Target, typename Action>
  requires std::invocable<Action&, Target&, ZKTimer&> || std::invocable<Action&, Target&>
  static std::shared_ptr<ZKTimer> timerWithInterval(double interval, bool repeats,
                                                    const std::shared_ptr<Target>& target, Action selector) {
    auto timer = make(interval, repeats, {});
    std::unique_lock lock(timer->mutex_);
    timer->target_ = target;
    timer->selector_ = [selector = std::move(selector)](void* object, ZKTimer& sender) mutable {
      auto& receiver = *static_cast<Target*>(object);
      if constexpr (std::invocable<Action&, Target&, ZKTimer&>) {
        std::invoke(selector, receiver, sender);
      } else {
        std::invoke(selector, receiver);
      }
    };
    lock.unlock();
    timer->run();
    return timer;
  }

  ~ZKTimer();
  ZKTimer(const ZKTimer&) = delete;
  ZKTimer& operator=(const ZKTimer&) = delete;

  // (Re)schedules: stops the current firing schedule and starts the full interval again.
  void run();
  // Stops the timer and drops its block and action; safe on a stopped timer.
  void invalidate();
  // Stops the timer but keeps its block, so that run() can start it again.
  void invalidateTimerOnly();
  // True while scheduled.
  bool isValid() const;

  double interval() const { return interval_; }
  bool repeats() const { return repeats_; }
  const std::any& userInfo() const { return userInfo_; }
  void setUserInfo(std::any userInfo) { userInfo_ = std::move(userInfo); }

  // "<ZKTimer 0x..., interval=0.100000, repeats=NO, userInfo=(null)>"
  std::string description() const;

 private:
  ZKTimer(double interval, bool repeats, std::any userInfo);
  static std::shared_ptr<ZKTimer> make(double interval, bool repeats, std::any userInfo);
  // The firing: the action when the target lives, else the block.
  void timerDidFinish();
  void stopPlatformTimer();  // with mutex_ held

  mutable std::mutex mutex_;
  double interval_;
  bool repeats_;
  std::any userInfo_;
  DidFinishBlock didFinishBlock_;
  std::weak_ptr<void> target_;
  std::function<void(void*, ZKTimer&)> selector_;
  std::shared_ptr<platform::TimerHandle> timer_;
  // Set while scheduled: the scheduled timer owns itself, as a run loop owns its timers.
  std::shared_ptr<ZKTimer> keepAlive_;
};
