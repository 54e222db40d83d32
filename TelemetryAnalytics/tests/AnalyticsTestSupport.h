#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "PipelineTestSupport.h"
#include "ServiceTestSupport.h"
#include "Telemetry/Internals/Channel/TLChannelGroupDefault.h"
#include "TelemetryAnalytics/Internals/TLAnalyticsCategory.h"
#include "TelemetryAnalytics/TLAnalytics.h"
#include "platform/MainQueue.h"

namespace tltesting {

// Every log prepared in the group with the group id of its unit.
class UnitLogs : public TLChannelDelegate {
 public:
  struct Entry {
    std::string groupId;
    std::shared_ptr<TLLog> log;
  };
  void channelPrepareLog(TLChannelProtocol& channel, const std::shared_ptr<TLLog>& log) override {
    auto* unit = dynamic_cast<TLChannelUnitProtocol*>(&channel);
    std::lock_guard lock(mutex_);
    entries_.push_back({unit ? unit->configuration()->groupId() : "", log});
  }
  std::vector<Entry> entries() const {
    std::lock_guard lock(mutex_);
    return entries_;
  }
  template <typename T>
  std::vector<Entry> entriesOf() const {
    std::vector<Entry> out;
    for (const auto& entry : entries())
      if (std::dynamic_pointer_cast<T>(entry.log)) out.push_back(entry);
    return out;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Entry> entries_;
};

// A fresh launch with the analytics service reset too.
inline void resetAnalyticsState(std::shared_ptr<platform::SettingsStore> store) {
  resetTelemetryState(std::move(store));
  TLAnalytics::resetSharedInstance();
  TLAnalyticsCategory::setMissedPageViewName(std::nullopt);
}

// Runs the function on the main queue (as the application's start-up does) and waits for it.
inline void onMain(const std::function<void()>& fn) {
  auto done = std::make_shared<std::atomic<bool>>(false);
  platform::postToMain([fn, done] {
    fn();
    *done = true;
  });
  qvtesting::runUntil([done] { return done->load(); }, kWaitSeconds);
}

// Waits until the pipeline's queue has run what was queued so far.
// The group's queue, when the SDK has one; waiting on it (drainQueue) finishes the pipeline's work.
inline std::shared_ptr<platform::DispatchQueue> pipelineQueue() {
  auto group =
      std::dynamic_pointer_cast<TLChannelGroupDefault>(TLTelemetry::sharedInstance()->channelGroup());
  return group ? group->logsDispatchQueue() : nullptr;
}

// Work on the queue may queue more (a unit's state change is passed on to its Event Collector
// twin), so the queue is waited for until such chains have run.
inline void drainQueue(const std::shared_ptr<platform::DispatchQueue>& queue) {
  if (!queue) return;
  for (int round = 0; round < 3; ++round) queue->sync([] {});
}

inline void drainPipeline() { drainQueue(pipelineQueue()); }

}  // namespace tltesting
