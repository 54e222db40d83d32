#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Telemetry/Internals/Channel/TLChannelProtocol.h"
#include "Telemetry/Internals/Channel/TLChannelUnitConfiguration.h"
#include "Telemetry/Internals/Context/TLAuthTokenContext.h"
#include "Telemetry/Internals/Context/TLDeviceTracker.h"
#include "Telemetry/Internals/Context/TLSessionContext.h"
#include "Telemetry/Internals/Context/TLUserIdContext.h"
#include "Telemetry/Internals/DelegateForwarder/TLDelegateForwarder.h"
#include "Telemetry/TLServiceAbstract.h"
#include "Telemetry/TLTelemetry.h"
#include "platform/SettingsStore.h"

namespace tltesting {

// What a test service is: its names, priority and whether it needs a secret.
struct TestServiceTraits {
  const char* className;
  const char* groupId;
  std::int64_t priority;
  bool secretRequired;
};

inline constexpr TestServiceTraits kTestServiceTraits[] = {
    {"TLTestLow", "TestLow", 500, false},
    {"TLTestHigh", "TestHigh", 999, true},
    {"TLTestPeer", "TestPeer", 500, false},
    {"TLCrashes", "Crashes", 999, true},
};

// A service of the base with a unit of its own; counts how often its state was applied.
template <int N>
class TestService : public TLServiceAbstract {
 public:
  static constexpr const char* kClassName = kTestServiceTraits[N].className;

  TestService() : TLServiceAbstract(kTestServiceTraits[N].groupId, kTestServiceTraits[N].className) {}

  static std::shared_ptr<TestService> sharedInstance() {
    std::lock_guard lock(mutex());
    if (!holder()) holder() = std::make_shared<TestService>();
    return holder();
  }
  static void resetSharedInstance() {
    std::lock_guard lock(mutex());
    holder().reset();
  }
  static std::string serviceName() { return kTestServiceTraits[N].groupId; }
  static std::string logTag() { return std::string("Telemetry") + kTestServiceTraits[N].groupId; }
  static TLServiceClass serviceClass() { return TLServiceClass::of<TestService>(); }

  std::int64_t initializationPriority() const override { return kTestServiceTraits[N].priority; }
  bool isAppSecretRequired() const override { return kTestServiceTraits[N].secretRequired; }
  std::shared_ptr<TLChannelUnitConfiguration> channelUnitConfiguration() const override {
    return TLChannelUnitConfiguration::initDefaultConfigurationWithGroupId(kTestServiceTraits[N].groupId);
  }
  void applyEnabledState(bool isEnabled) override {
    TLServiceAbstract::applyEnabledState(isEnabled);
    ++applied;
  }

  std::atomic<int> applied{0};

 private:
  static std::mutex& mutex() {
    static std::mutex m;
    return m;
  }
  static std::shared_ptr<TestService>& holder() {
    static std::shared_ptr<TestService> h;
    return h;
  }
};

using TestLow = TestService<0>;
using TestHigh = TestService<1>;
using TestPeer = TestService<2>;
using TestCrashes = TestService<3>;

// Every log the group prepares, in order.
class PreparedLogs : public TLChannelDelegate {
 public:
  void channelPrepareLog(TLChannelProtocol&, const std::shared_ptr<TLLog>& log) override {
    std::lock_guard lock(mutex_);
    logs_.push_back(log);
  }
  std::vector<std::shared_ptr<TLLog>> logs() const {
    std::lock_guard lock(mutex_);
    return logs_;
  }
  template <typename T>
  std::vector<std::shared_ptr<T>> logsOf() const {
    std::vector<std::shared_ptr<T>> out;
    for (const auto& log : logs())
      if (auto typed = std::dynamic_pointer_cast<T>(log)) out.push_back(typed);
    return out;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<TLLog>> logs_;
};

// Forgets every shared object of the SDK, so each test starts as a fresh launch.
inline void resetTelemetryState(std::shared_ptr<platform::SettingsStore> store) {
  platform::SettingsStore::setStandardUserDefaults(std::move(store));
  TLTelemetry::resetSharedInstance();
  TestLow::resetSharedInstance();
  TestHigh::resetSharedInstance();
  TestPeer::resetSharedInstance();
  TestCrashes::resetSharedInstance();
  TLSessionContext::resetSharedInstance();
  TLUserIdContext::resetSharedInstance();
  TLDeviceTracker::resetSharedInstance();
  TLAuthTokenContext::resetSharedInstance();
  TLDelegateForwarder::resetTraceBuffer();
}

}  // namespace tltesting
