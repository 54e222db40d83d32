#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

class TLChannelGroupProtocol;
// The one recursive lock of the SDK: TLTelemetry and every service take it, so a service's switch
// and the SDK's switch never wait on each other from two threads.
std::recursive_mutex& TLTelemetryLock();

class TLChannelUnitProtocol;
class TLChannelUnitConfiguration;

// What TLTelemetry asks of every service instance: start, reconfiguration, the enabled state and the
// parts of the pipeline the service was given.
class TLServiceCommon {
 public:
  using String = std::optional<std::string>;

  virtual ~TLServiceCommon() = default;

  virtual void applyEnabledState(bool isEnabled) = 0;
  virtual bool canBeUsed() = 0;
  virtual void startWithChannelGroup(const std::shared_ptr<TLChannelGroupProtocol>& channelGroup,
                                     const String& appSecret, const String& transmissionTargetToken,
                                     bool fromApplication) = 0;
  virtual void updateConfigurationWithAppSecret(const String& appSecret,
                                                const String& transmissionTargetToken) = 0;
  virtual bool isAppSecretRequired() const = 0;
  virtual bool isStartedFromApplication() const = 0;
  virtual bool isAvailable() = 0;
  virtual bool isEnabled() = 0;
  virtual void setEnabled(bool isEnabled) = 0;
  virtual std::int64_t initializationPriority() const = 0;
  virtual std::string groupId() const = 0;
  // The configuration of the service's own unit; none adds no unit at start.
  virtual std::shared_ptr<TLChannelUnitConfiguration> channelUnitConfiguration() const { return nullptr; }

  // The class-level switch and state, run on the shared instance (see TLServiceClass).
  virtual void classSetEnabled(bool isEnabled) = 0;
  virtual bool classIsEnabled() = 0;

  virtual std::shared_ptr<TLChannelGroupProtocol> channelGroup() const = 0;
  virtual void setChannelGroup(std::shared_ptr<TLChannelGroupProtocol> channelGroup) = 0;
  virtual std::shared_ptr<TLChannelUnitProtocol> channelUnit() const = 0;
  virtual void setChannelUnit(std::shared_ptr<TLChannelUnitProtocol> channelUnit) = 0;
  virtual String appSecret() const = 0;
  virtual void setAppSecret(String appSecret) = 0;
  virtual String defaultTransmissionTargetToken() const = 0;
  virtual void setDefaultTransmissionTargetToken(String token) = 0;
};

// A service class as the application hands it to TLTelemetry: its name, its shared instance and
// its class-level switch. Made from a service type with TLServiceClass::of<T>(), where T has
//   static constexpr const char* kClassName;           // "TLAnalytics"
//   static std::shared_ptr<T> sharedInstance();
//   static std::string serviceName();                   // "Analytics"
//   static std::string logTag();                        // "TelemetryAnalytics"
// An empty descriptor (or one whose shared instance is missing) is not a service.
class TLServiceClass {
 public:
  TLServiceClass() = default;
  TLServiceClass(std::string className, std::function<std::shared_ptr<TLServiceCommon>()> sharedInstance,
                 std::function<std::string()> serviceName, std::function<std::string()> logTag)
      : className_(std::move(className)),
        sharedInstance_(std::move(sharedInstance)),
        serviceName_(std::move(serviceName)),
        logTag_(std::move(logTag)) {}

  template <typename T>
  static TLServiceClass of() {
    return TLServiceClass(
        T::kClassName, [] { return std::static_pointer_cast<TLServiceCommon>(T::sharedInstance()); },
        [] { return T::serviceName(); }, [] { return T::logTag(); });
  }

  // Whether the descriptor names a service (conforms to the service contract).
  bool isService() const { return sharedInstance_ && serviceName_ && sharedInstance_() != nullptr; }
  const std::string& className() const { return className_; }
  std::shared_ptr<TLServiceCommon> sharedInstance() const {
    return sharedInstance_ ? sharedInstance_() : nullptr;
  }
  std::string serviceName() const { return serviceName_ ? serviceName_() : std::string(); }
  std::string logTag() const { return logTag_ ? logTag_() : std::string(); }

  // The class-level switch: refused while the service cannot be used, and while the whole SDK is
  // disabled unless the SDK itself is cascading its own switch.
  void setEnabled(bool isEnabled) const;
  // The shared instance can be used and is enabled.
  bool isEnabled() const;

  bool operator==(const TLServiceClass& other) const { return className_ == other.className_; }

 private:
  std::string className_;
  std::function<std::shared_ptr<TLServiceCommon>()> sharedInstance_;
  std::function<std::string()> serviceName_;
  std::function<std::string()> logTag_;
};
