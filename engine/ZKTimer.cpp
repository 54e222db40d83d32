#include "engine/ZKTimer.h"

#include <fmt/format.h>

#include <cmath>
#include <cstdint>
#include <nlohmann/json.hpp>

#include "platform/Log.h"

namespace {

// Like the run-loop timers it replaces: a non-positive (or unreadable) interval becomes 0.1 ms, and
// an interval too long to count in the steady clock is capped at about thirty years.
platform::Seconds schedulingInterval(double interval) {
  if (!(interval > 0.0)) return platform::Seconds(0.0001);
  return platform::Seconds(std::min(interval, 1.0e9));
}

std::string describe(const std::any& value) {
  if (!value.has_value()) return "(null)";
  if (const auto* text = std::any_cast<std::string>(&value)) return *text;
  if (const auto* text = std::any_cast<const char*>(&value)) return *text ? *text : "(null)";
  if (const auto* json = std::any_cast<nlohmann::json>(&value)) {
    return json->dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  }
  if (const auto* number = std::any_cast<int>(&value)) return std::to_string(*number);
  if (const auto* number = std::any_cast<std::int64_t>(&value)) return std::to_string(*number);
  if (const auto* number = std::any_cast<double>(&value)) return fmt::format("{}", *number);
  if (const auto* flag = std::any_cast<bool>(&value)) return *flag ? "1" : "0";
  return fmt::format("<{}>", value.type().name());
}

}  // namespace

ZKTimer::ZKTimer(double interval, bool repeats, std::any userInfo)
    : interval_(interval), repeats_(repeats), userInfo_(std::move(userInfo)) {}

ZKTimer::~ZKTimer() {
  // Nothing else can reach a timer that is being destroyed, so no lock is needed.
  if (timer_) timer_->cancel();
}

std::shared_ptr<ZKTimer> ZKTimer::make(double interval, bool repeats, std::any userInfo) {
  return std::shared_ptr<ZKTimer>(new ZKTimer(interval, repeats, std::move(userInfo)));
}

std::shared_ptr<ZKTimer> ZKTimer::timerWithInterval(double interval, bool repeats, std::any userInfo,
                                                    DidFinishBlock didFinishBlock) {
  auto timer = make(interval, repeats, std::move(userInfo));
  timer->didFinishBlock_ = std::move(didFinishBlock);
  timer->run();
  return timer;
}

std::shared_ptr<ZKTimer> ZKTimer::timerWithInterval(double interval, bool repeats,
                                                    DidFinishBlock didFinishBlock) {
  return timerWithInterval(interval, repeats, std::any(), std::move(didFinishBlock));
}

void ZKTimer::stopPlatformTimer() {
  if (timer_) {
    timer_->cancel();
    timer_.reset();
  }
}

void ZKTimer::run() {
  auto queue = platform::MainQueue::shared();
  // Declared before the lock so that a timer owned only by itself goes after the lock is released.
  std::shared_ptr<ZKTimer> released;
  std::lock_guard lock(mutex_);
  stopPlatformTimer();
  if (!queue) {
    platform::log("ZKTimer: no main queue to schedule a timer of interval {:f}", interval_);
    released = std::move(keepAlive_);
    return;
  }
  std::weak_ptr<ZKTimer> weakSelf = weak_from_this();
  timer_ = queue->scheduleTimer(schedulingInterval(interval_), repeats_, [weakSelf] {
    if (auto self = weakSelf.lock()) self->timerDidFinish();
  });
  keepAlive_ = shared_from_this();
}

void ZKTimer::timerDidFinish() {
  // Holds this timer for the length of the firing: the block may invalidate it, and a one-shot timer
  // lets go of itself below.
  auto self = shared_from_this();
  std::shared_ptr<ZKTimer> released;
  std::function<void(void*, ZKTimer&)> selector;
  std::shared_ptr<void> target;
  DidFinishBlock block;
  {
    std::lock_guard lock(mutex_);
    if (!repeats_) {
      timer_.reset();
      released = std::move(keepAlive_);
    }
    // Copies: the callee may invalidate this timer, which drops the originals.
    selector = selector_;
    target = target_.lock();
    block = didFinishBlock_;
  }
  if (selector) {
    if (target) {
      selector(target.get(), *this);
    } else {
      invalidate();  // the target is gone for good: nothing will ever happen here again
    }
    return;
  }
  if (block) block(*this);
}

void ZKTimer::invalidate() {
  std::shared_ptr<ZKTimer> released;  // destroyed last, after the lock is released
  DidFinishBlock block;               // the block's captures are destroyed outside the lock too
  std::function<void(void*, ZKTimer&)> selector;
  std::lock_guard lock(mutex_);
  released = std::move(keepAlive_);
  stopPlatformTimer();
  block = std::move(didFinishBlock_);
  selector = std::move(selector_);
  didFinishBlock_ = nullptr;
  selector_ = nullptr;
}

void ZKTimer::invalidateTimerOnly() {
  std::shared_ptr<ZKTimer> released;
  std::lock_guard lock(mutex_);
  released = std::move(keepAlive_);
  stopPlatformTimer();
}

bool ZKTimer::isValid() const {
  std::lock_guard lock(mutex_);
  return timer_ && timer_->isValid();
}

std::string ZKTimer::description() const {
  return fmt::format("<ZKTimer {}, interval={:f}, repeats={}, userInfo={}>", fmt::ptr(this), interval_,
                     repeats_ ? "YES" : "NO", describe(userInfo_));
}
