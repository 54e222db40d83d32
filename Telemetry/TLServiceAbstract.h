#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "Telemetry/Internals/Util/TLReadMostlyMutex.h"
#include "Telemetry/TLService.h"

// The base of the SDK's services: the persisted enabled state ("kTL<groupId>IsEnabledKey", absent
// means enabled), the channel group and the service's own unit, the secret and token it was
// started with, and whether the application (not a library) started it.
//
// A concrete service passes its group id to the constructor (no virtual call happens there),
// overrides what it adds (start, reconfiguration, applyEnabledState, priority, unit configuration,
// whether it needs a secret), each override calling the base first, and supplies the class-level
// kClassName, sharedInstance(), serviceName() and logTag() that TLServiceClass::of<T>() reads.
class TLServiceAbstract : public TLServiceCommon, public std::enable_shared_from_this<TLServiceAbstract> {
 public:
  static constexpr const char* kEnabledKeyFormat = "kTL{}IsEnabledKey";
  static constexpr std::int64_t kDefaultInitializationPriority = 500;

  // `className` names the service in messages less its first two characters; empty means "TL" +
  // the group id.
  explicit TLServiceAbstract(std::string groupId, std::string className = {});

  // ---- TLServiceCommon ----
  // The unit's switch, deleting its stored logs when disabling.
  void applyEnabledState(bool isEnabled) override;
  // The SDK is configured and the service started; logged otherwise.
  bool canBeUsed() override;
  void startWithChannelGroup(const std::shared_ptr<TLChannelGroupProtocol>& channelGroup,
                             const String& appSecret, const String& transmissionTargetToken,
                             bool fromApplication) override;
  void updateConfigurationWithAppSecret(const String& appSecret,
                                        const String& transmissionTargetToken) override;
  bool isAppSecretRequired() const override { return true; }
  bool isStartedFromApplication() const override { return startedFromApplication_.load(); }
  bool isAvailable() override { return isEnabled() && isStarted(); }
  bool isEnabled() override;
  // Applies, then stores, a value that differs from the stored one; nothing otherwise.
  void setEnabled(bool isEnabled) override;
  std::int64_t initializationPriority() const override { return kDefaultInitializationPriority; }
  std::string groupId() const override { return groupId_; }
  void classSetEnabled(bool isEnabled) override;
  bool classIsEnabled() override;

  std::shared_ptr<TLChannelGroupProtocol> channelGroup() const override;
  void setChannelGroup(std::shared_ptr<TLChannelGroupProtocol> channelGroup) override;
  std::shared_ptr<TLChannelUnitProtocol> channelUnit() const override;
  void setChannelUnit(std::shared_ptr<TLChannelUnitProtocol> channelUnit) override;
  String appSecret() const override;
  void setAppSecret(String appSecret) override;
  String defaultTransmissionTargetToken() const override;
  void setDefaultTransmissionTargetToken(String token) override;

  bool isStarted() const { return started_.load(); }
  // The enabled state as last read or written, without reading the settings: nullopt until it was
  // read once. For paths that must not wait for the SDK lock; setEnabled() updates it before it
  // returns.
  std::optional<bool> knownEnabledState() const {
    int cached = enabledCache_.load(std::memory_order_acquire);
    if (cached < 0) return std::nullopt;
    return cached != 0;
  }
  const std::string& isEnabledKey() const { return isEnabledKey_; }
  // The class name less its first two characters ("Analytics" for "TLAnalytics").
  std::string shortClassName() const;
  const std::string& className() const { return className_; }

 private:
  const std::string groupId_;
  const std::string className_;
  const std::string isEnabledKey_;
  std::atomic<bool> startedFromApplication_{false};
  std::atomic<bool> started_{false};
  // The stored state as last read or written by this service (-1: not read yet). Every call of a
  // tracking path asks for it; the settings store is read once.
  std::atomic<int> enabledCache_{-1};
  // The parts below are set at start and reconfiguration under the SDK lock and read from any
  // thread (every tracked log reads the unit); this lock keeps each read whole, readers sharing it.
  mutable TLReadMostlyMutex partsMutex_;
  std::shared_ptr<TLChannelGroupProtocol> channelGroup_;
  std::shared_ptr<TLChannelUnitProtocol> channelUnit_;
  String appSecret_;
  String defaultTransmissionTargetToken_;
};
