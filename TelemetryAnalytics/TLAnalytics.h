#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Telemetry/Internals/Channel/TLChannelProtocol.h"
#include "Telemetry/Internals/Channel/TLChannelUnitConfiguration.h"
#include "Telemetry/Internals/Util/TLReadMostlyMutex.h"
#include "Telemetry/TLServiceAbstract.h"
#include "TelemetryAnalytics/Internals/Session/TLSessionTracker.h"
#include "TelemetryAnalytics/Model/TLAnalyticsLogs.h"
#include "TelemetryAnalytics/TLAnalyticsConstants.h"
#include "platform/ArchiveObject.h"

class TLAnalytics;
class TLAnalyticsTransmissionTarget;

// The application's callbacks about event and page logs; every method is optional.
class TLAnalyticsDelegate {
 public:
  virtual ~TLAnalyticsDelegate() = default;
  virtual void analyticsWillSendEventLog(TLAnalytics&, const std::shared_ptr<TLEventLog>&) {}
  virtual void analyticsWillSendPageLog(TLAnalytics&, const std::shared_ptr<TLPageLog>&) {}
  virtual void analyticsDidSucceedSendingEventLog(TLAnalytics&, const std::shared_ptr<TLEventLog>&) {}
  virtual void analyticsDidSucceedSendingPageLog(TLAnalytics&, const std::shared_ptr<TLPageLog>&) {}
  virtual void analyticsDidFailSendingEventLog(TLAnalytics&, const std::shared_ptr<TLEventLog>&,
                                               const std::optional<platform::Error>&) {}
  virtual void analyticsDidFailSendingPageLog(TLAnalytics&, const std::shared_ptr<TLPageLog>&,
                                              const std::optional<platform::Error>&) {}
};

// The usage-analytics service: turns tracked events and pages into logs, owns the session tracker
// that emits start-session logs, keeps the registry of Event Schema transmission targets, checks
// names and properties, and routes each log into its normal ("Analytics") or critical
// ("Analytics_critical") unit.
//
// The class-level (static) operations are the public interface and work on the shared instance;
// the instance operations they call carry longer names where the two would clash. The service's
// lock is the SDK's one lock (TLTelemetryLock); logs are handed to the pipeline after it is released.
class TLAnalytics : public TLServiceAbstract, public TLSessionTrackerDelegate, public TLChannelDelegate {
 public:
  static constexpr const char* kClassName = "TLAnalytics";
  static constexpr std::uint64_t kMinFlushInterval = 3;
  static constexpr std::uint64_t kMaxFlushInterval = 86400;
  // Event and page names: at least 1, at most 256 UTF-16 units.
  static constexpr std::size_t kMaxNameLength = 256;
  static constexpr std::size_t kMaxTypedProperties = 20;
  static constexpr std::size_t kMaxPropertyKeyLength = 125;
  static constexpr std::size_t kMaxPropertyValueLength = 125;

  // A string-property dictionary as the application may hand it: keys or values that are not
  // strings (or missing) are dropped.
  using UntypedProperties = std::vector<std::pair<platform::ArchiveObject, platform::ArchiveObject>>;
  using StringProperties = std::map<std::string, std::string>;
  using Target = std::shared_ptr<TLAnalyticsTransmissionTarget>;

  // ---- Class-level interface ----
  static std::shared_ptr<TLAnalytics> sharedInstance();
  static void resetSharedInstance();
  static std::string serviceName() { return kTLAnalyticsServiceName; }
  static std::string logTag() { return kTLAnalyticsLogTag; }
  static TLServiceClass serviceClass() { return TLServiceClass::of<TLAnalytics>(); }

  static void trackEvent(const std::optional<std::string>& name);
  static void trackEvent(const std::optional<std::string>& name,
                         const std::optional<StringProperties>& properties,
                         std::uint64_t flags = kTLFlagsNormal);
  static void trackEvent(const std::optional<std::string>& name,
                         const std::shared_ptr<TLEventProperties>& properties,
                         std::uint64_t flags = kTLFlagsNormal);
  static void trackPage(const std::optional<std::string>& name,
                        const std::optional<StringProperties>& properties = std::nullopt);
  static void pause();
  static void resume();
  static void setAutoPageTrackingEnabled(bool enabled);
  static bool isAutoPageTrackingEnabled();
  static void setTransmissionInterval(std::uint64_t seconds);
  static Target transmissionTargetForToken(const std::string& token);
  static void pauseTransmissionTargetForToken(const std::string& token);
  static void resumeTransmissionTargetForToken(const std::string& token);
  static void setDelegate(const std::shared_ptr<TLAnalyticsDelegate>& delegate);
  static void trackEventForTransmissionTarget(const std::optional<std::string>& name,
                                              const std::shared_ptr<TLEventProperties>& properties,
                                              const Target& target, std::uint64_t flags);

  // A new service with its session tracker (over the given one, for tests).
  static std::shared_ptr<TLAnalytics> init(std::shared_ptr<TLSessionTracker> tracker = nullptr);
  TLAnalytics();

  // ---- Service ----
  bool isAppSecretRequired() const override { return false; }
  std::shared_ptr<TLChannelUnitConfiguration> channelUnitConfiguration() const override;
  void startWithChannelGroup(const std::shared_ptr<TLChannelGroupProtocol>& channelGroup,
                             const String& appSecret, const String& transmissionTargetToken,
                             bool fromApplication) override;
  void updateConfigurationWithAppSecret(const String& appSecret,
                                        const String& transmissionTargetToken) override;
  void applyEnabledState(bool isEnabled) override;
  // The base switch, then the same value on every registered target.
  void setEnabled(bool isEnabled) override;

  // ---- Tracking ----
  void trackEventWithProperties(const std::optional<std::string>& name,
                                const std::optional<UntypedProperties>& properties, const Target& target,
                                std::uint64_t flags);
  void trackEventWithTypedProperties(const std::optional<std::string>& name,
                                     std::shared_ptr<TLEventProperties> properties, const Target& target,
                                     std::uint64_t flags);
  void trackPageWithProperties(const std::optional<std::string>& name,
                               const std::optional<UntypedProperties>& properties);
  // The one road of every analytics log into a unit: critical when bit 2 of the flags is set.
  void sendLog(const std::shared_ptr<TLLog>& log, std::uint64_t flags);
  // Only string keys with string values.
  static StringProperties removeInvalidProperties(const UntypedProperties& properties);
  static UntypedProperties untyped(const StringProperties& properties);
  void pauseUnits();
  void resumeUnits();
  void applyTransmissionInterval(std::uint64_t seconds);
  std::uint64_t flushInterval() const;
  bool autoPageTrackingEnabled() const { return autoPageTrackingEnabled_.load(); }
  void setAutoPageTracking(bool enabled) { autoPageTrackingEnabled_ = enabled; }
  void setAnalyticsDelegate(const std::shared_ptr<TLAnalyticsDelegate>& delegate);

  // ---- Targets ----
  Target targetForToken(const std::string& token);
  Target createTransmissionTargetForToken(const std::string& token);
  void pauseTargetForToken(const std::string& token);
  void resumeTargetForToken(const std::string& token);
  std::shared_ptr<TLChannelUnitProtocol> eventCollectorChannelUnit();
  std::shared_ptr<TLChannelUnitProtocol> eventCollectorCriticalChannelUnit();
  Target defaultTransmissionTarget() const;
  std::shared_ptr<TLChannelUnitProtocol> criticalChannelUnit() const;
  const std::shared_ptr<TLSessionTracker>& sessionTracker() const { return sessionTracker_; }

  // ---- Validation ----
  bool channelUnitShouldFilterLog(TLChannelUnitProtocol& unit, const std::shared_ptr<TLLog>& log) override;
  bool validateLog(TLLogWithNameAndProperties& log);
  std::optional<std::string> validateEventName(const std::optional<std::string>& name,
                                               const std::string& type);
  std::map<std::string, std::string> validateProperties(const std::map<std::string, std::string>& properties,
                                                        const std::string& name, const std::string& type);
  std::shared_ptr<TLEventProperties> validateTelemetryEventProperties(
      const std::shared_ptr<TLEventProperties>& properties);
  std::shared_ptr<TLTypedProperty> validateTelemetryTypedProperty(const TLTypedProperty& property);
  std::string validateTelemetryPropertyName(const std::string& name);
  std::optional<std::string> validateTelemetryStringTypedPropertyValue(
      const std::optional<std::string>& value);

  // ---- Session tracker and channel callbacks ----
  void sessionTrackerProcessLog(TLSessionTracker& tracker, const std::shared_ptr<TLLog>& log) override;
  void channelWillSendLog(TLChannelProtocol& channel, const std::shared_ptr<TLLog>& log) override;
  void channelDidSucceedSendingLog(TLChannelProtocol& channel, const std::shared_ptr<TLLog>& log) override;
  void channelDidFailSendingLog(TLChannelProtocol& channel, const std::shared_ptr<TLLog>& log,
                                const std::optional<platform::Error>& error) override;

 private:
  std::shared_ptr<TLAnalytics> self();
  // Whether a track may build and send its log: configured, started and enabled.
  bool canTrack();
  void setDefaultTarget(Target target);
  std::shared_ptr<TLAnalyticsDelegate> currentDelegate() const;
  std::shared_ptr<TLChannelUnitProtocol> lookUpTwin(const std::string& groupId,
                                                    std::shared_ptr<TLChannelUnitProtocol>& cache);

  std::atomic<bool> autoPageTrackingEnabled_{false};
  std::shared_ptr<TLChannelUnitConfiguration> channelUnitConfiguration_;
  std::shared_ptr<TLSessionTracker> sessionTracker_;
  std::weak_ptr<TLAnalyticsDelegate> delegate_;
  std::uint64_t flushInterval_ = TLChannelUnitConfiguration::kDefaultFlushInterval;
  std::map<std::string, Target> transmissionTargets_;
  // Guards the default target and the critical unit, which every tracked log reads; they are set
  // at start and reconfiguration (under the SDK lock too), so readers share it.
  mutable TLReadMostlyMutex unitsMutex_;
  Target defaultTransmissionTarget_;
  std::atomic<bool> hasDefaultTarget_{false};
  std::shared_ptr<TLChannelUnitProtocol> criticalChannelUnit_;
  std::shared_ptr<TLChannelUnitProtocol> eventCollectorChannelUnit_;
  std::shared_ptr<TLChannelUnitProtocol> eventCollectorCriticalChannelUnit_;
};
