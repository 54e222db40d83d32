#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Telemetry/Internals/Util/TLLogger.h"
#include "Telemetry/TLService.h"
#include "platform/ArchiveObject.h"

class TLChannelGroupProtocol;
class TLChannelUnitProtocol;
class TLEventCollectorChannelDelegate;
class TLWrapperSdk;

// Settings keys of the SDK's own state.
inline constexpr const char* kTLTelemetryIsEnabledKey = "TLTelemetryIsEnabled";
inline constexpr const char* kTLInstallIdKey = "TLInstallId";
// Environment: services not to start (comma-separated names, or "All"), and the test-cloud mark.
inline constexpr const char* kTLDisableVariable = "TELEMETRY_DISABLE";
inline constexpr const char* kTLDisableAll = "All";
inline constexpr const char* kTLRunningInTestCloudVariable = "RUNNING_IN_TEST_CLOUD";
// The smallest log store the SDK accepts, in bytes.
inline constexpr std::int64_t kTLMinAcceptableStorageSize = 24576;

// The telemetry SDK's single entry: parses the configuration string, builds the pipeline once (the
// channel group, the SDK's own unit "Telemetry", the Event Collector delegate), orders and starts the
// services, sends one start-service log naming the services the application started, and keeps the
// SDK-wide switches (enabled state, log level, log URL, storage size, install id, user id).
//
// The class-level (static) operations are the public interface; each works on the shared instance.
// Instance operations whose names would clash with them carry "Sdk" in their names.
class TLTelemetry : public std::enable_shared_from_this<TLTelemetry> {
 public:
  using String = std::optional<std::string>;
  using Services = std::vector<TLServiceClass>;
  using CustomProperties = std::optional<platform::ArchiveObject::Dictionary>;

  static constexpr const char* kClassName = "TLTelemetry";
  static constexpr const char* kGroupId = "Telemetry";

  // ---- Class-level operations ----
  static std::shared_ptr<TLTelemetry> sharedInstance();
  // Drops the shared instance; the next sharedInstance() makes a new one.
  static void resetSharedInstance();

  static void configureWithAppSecret(const String& configuration);
  static void configure();
  static void start(const String& configuration, const Services& services);
  static void startWithServices(const Services& services);
  static void startFromLibraryWithServices(const Services& services);
  static void startService(const TLServiceClass& service);
  static bool isConfigured();
  static bool isRunningInTelemetryTestCloud();
  static void setLogUrl(const std::string& logUrl);
  static void setEnabled(bool isEnabled);
  static bool isEnabled();
  static bool isAppDelegateForwarderEnabled();
  // Upper-case canonical text.
  static std::string installId();
  static TLLogLevel logLevel();
  static void setLogLevel(TLLogLevel level);
  static void setLogHandler(TLLogHandler handler);
  static void setWrapperSdk(std::shared_ptr<TLWrapperSdk> wrapperSdk);
  static void setCountryCode(const String& countryCode);
  static void setCustomProperties(const CustomProperties& properties);
  static void setMaxStorageSize(std::int64_t sizeInBytes, std::function<void(bool)> completionHandler);
  static void setUserId(const String& userId);
  // Whether a tracer (debugger) is attached to the process; computed once.
  static bool isDebuggerAttached();
  static std::string sdkVersion();
  static std::string logTag() { return kGroupId; }
  static std::string groupId() { return kGroupId; }
  // The ingestion origin the build was configured with; empty when it has none.
  static std::string defaultLogUrl();

  TLTelemetry() = default;
  TLTelemetry(const TLTelemetry&) = delete;
  TLTelemetry& operator=(const TLTelemetry&) = delete;

  // ---- Instance operations ----
  bool configureWithAppSecret(const String& appSecret, const String& transmissionTargetToken,
                              bool fromApplication);
  void start(const String& configuration, const Services& services, bool fromApplication);
  void startServices(const Services& services, const String& appSecret, const String& transmissionTargetToken,
                     bool fromApplication);
  bool startService(const TLServiceClass& service, const String& appSecret,
                    const String& transmissionTargetToken, bool fromApplication);
  // Descending initialisation priority; equal priorities keep their given order.
  Services sortServices(const Services& services) const;
  // "TELEMETRY_DISABLE" names the service, or "All".
  bool shouldDisable(const std::string& serviceName) const;
  void initializeChannelGroup();
  void applyPipelineEnabledState(bool isEnabled);
  // Configured; logged otherwise.
  bool canBeUsed();
  bool isSdkEnabled() const;
  void setSdkEnabled(bool isEnabled);
  std::string sdkInstallId();
  String logUrl() const;
  void setSdkLogUrl(const std::string& logUrl);
  void setSdkMaxStorageSize(std::int64_t sizeInBytes, std::function<void(bool)> completionHandler);
  void setSdkUserId(const String& userId);
  void setSdkCustomProperties(const CustomProperties& properties);
  void sendStartServiceLog(const std::vector<std::string>& serviceNames);
  void sendCustomPropertiesLog(const platform::ArchiveObject::Dictionary& properties);

  // ---- State ----
  bool sdkConfigured() const { return sdkConfigured_.load(); }
  bool configuredFromApplication() const { return configuredFromApplication_.load(); }
  bool isEnabledStateUpdating() const { return enabledStateUpdating_.load(); }
  bool setMaxStorageSizeHasBeenCalled() const;
  String appSecret() const;
  String defaultTransmissionTargetToken() const;
  std::shared_ptr<TLChannelGroupProtocol> channelGroup() const;
  std::shared_ptr<TLChannelUnitProtocol> channelUnit() const;
  std::shared_ptr<TLEventCollectorChannelDelegate> eventCollectorChannelDelegate() const;
  // The services started so far, in start order.
  std::vector<std::shared_ptr<TLServiceCommon>> services() const;
  std::optional<std::vector<std::string>> startedServiceNames() const;
  std::optional<std::int64_t> requestedMaxStorageSizeInBytes() const;

 private:
  std::atomic<bool> sdkConfigured_{false};
  std::atomic<bool> configuredFromApplication_{false};
  std::atomic<bool> enabledStateUpdating_{false};
  bool setMaxStorageSizeHasBeenCalled_ = false;
  String installId_;
  String logUrl_;
  std::shared_ptr<TLChannelUnitProtocol> channelUnit_;
  std::shared_ptr<TLEventCollectorChannelDelegate> eventCollectorChannelDelegate_;
  std::shared_ptr<TLChannelGroupProtocol> channelGroup_;
  std::vector<std::shared_ptr<TLServiceCommon>> services_;
  // The class of each started service, to call its class-level switch.
  std::vector<TLServiceClass> serviceClasses_;
  std::optional<std::vector<std::string>> startedServiceNames_;
  String appSecret_;
  String defaultTransmissionTargetToken_;
  std::optional<std::int64_t> requestedMaxStorageSizeInBytes_;
  std::function<void(bool)> maxStorageSizeCompletionHandler_;
};
