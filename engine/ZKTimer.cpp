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

ZKTimer::~ZKTimer() { stopPlatformTimer(); }

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

std::shared_ptr<ZKTimer> ZKTimer::timerWithInterval(double interval, bool repeats, DidFinishBlock didFinishBlock) {
  return timerWithInterval(interval, repeats, std::any(), std::move(didFinishBlock));
}

void ZKTimer::stopPlatformTimer() {
  if (timer_) {
    timer_->cancel();
    timer_.reset();
  }
}

void ZKTimer::run() {
  stopPlatformTimer();
  auto queue = platform::MainQueue::shared();
  if (!queue) {
    platform::log("ZKTimer: no main queue to schedule {} on", description());
    // Moving keepAlive_ out lets a timer owned only by itself go once this call returns.
    auto released = std::move(keepAlive_);
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
  if (!repeats_) {
    timer_.reset();
    keepAlive_.reset();
  }
  if (selector_) {
    auto target = target_.lock();
    if (!target) {
      invalidate();
      return;
    }
    auto selector = selector_;  // the action may invalidate this timer and drop selector_
    selector(target.get(), *this);
    return;
  }
  if (didFinishBlock_) {
    auto block = didFinishBlock_;  // the block may invalidate this timer and drop didFinishBlock_
    block(*this);
  }
}

void ZKTimer::invalidate() {
  auto released = std::move(keepAlive_);  // destroyed last, after the members below are cleared
  stopPlatformTimer();
  didFinishBlock_ = nullptr;
  selector_ = nullptr;
}

void ZKTimer::invalidateTimerOnly() {
  auto released = std::move(keepAlive_);
  stopPlatformTimer();
}

bool ZKTimer::isValid() const { return timer_ && timer_->isValid(); }

std::string ZKTimer::description() const {
  return fmt::format("<ZKTimer {}, interval={:f}, repeats={}, userInfo={}>", fmt::ptr(this), interval_,
                     repeats_ ? "YES" : "NO", describe(userInfo_));
}
