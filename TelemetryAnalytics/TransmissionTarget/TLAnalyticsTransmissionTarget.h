#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "Telemetry/Internals/Channel/TLChannelProtocol.h"
#include "TelemetryAnalytics/Model/TLEventProperties.h"
#include "TelemetryAnalytics/TLAnalyticsConstants.h"

class TLPropertyConfigurator;

// What an application supplies to authenticate Event Schema logs of enabled targets.
class TLAnalyticsAuthenticationProvider {
 public:
  virtual ~TLAnalyticsAuthenticationProvider() = default;
  // Sent once, when the provider is installed.
  virtual void acquireTokenAsync() = 0;
  virtual std::string ticketKeyHash() = 0;
  // Sent right after each ticketKeyHash() read.
  virtual void checkTokenExpiry() = 0;
};

// Sends events to an Event Schema tenant named by a token. Targets form trees: a root per token from
// the analytics service, children per token from each target. The enabled flag is persisted under
// "kTLAnalyticsIsEnabledKey/<target key>" (absent: enabled); a target born under a disabled parent
// starts disabled; switching a target switches its whole subtree. Default properties of the
// configurators flow down the tree: the event's own win, then the nearest target's, then each
// ancestor's.
class TLAnalyticsTransmissionTarget : public TLChannelDelegate,
                                      public std::enable_shared_from_this<TLAnalyticsTransmissionTarget> {
 public:
  using Properties = std::optional<std::map<std::string, std::string>>;

  static std::shared_ptr<TLAnalyticsTransmissionTarget> init(
      const std::string& token, const std::shared_ptr<TLAnalyticsTransmissionTarget>& parentTarget,
      const std::shared_ptr<TLChannelGroupProtocol>& channelGroup);
  TLAnalyticsTransmissionTarget(const std::string& token,
                                std::shared_ptr<TLAnalyticsTransmissionTarget> parentTarget,
                                std::shared_ptr<TLChannelGroupProtocol> channelGroup);

  // The child for the token, made and registered on first request.
  std::shared_ptr<TLAnalyticsTransmissionTarget> transmissionTargetForToken(const std::string& token);

  void trackEvent(const std::optional<std::string>& name);
  void trackEvent(const std::optional<std::string>& name, const Properties& properties,
                  std::uint64_t flags = kTLFlagsNormal);
  void trackEvent(const std::optional<std::string>& name,
                  const std::shared_ptr<TLEventProperties>& properties, std::uint64_t flags = kTLFlagsNormal);

  bool isEnabled() const;
  void setEnabled(bool isEnabled);
  void pause();
  void resume();
  // The parent's state, or for a root the analytics service's class-level state.
  bool isImmediateParent() const;

  void channelPrepareLog(TLChannelProtocol& channel, const std::shared_ptr<TLLog>& log) override;

  static void addAuthenticationProvider(const std::shared_ptr<TLAnalyticsAuthenticationProvider>& provider);
  static std::shared_ptr<TLAnalyticsAuthenticationProvider> authenticationProvider();
  static void setAuthenticationProvider(std::shared_ptr<TLAnalyticsAuthenticationProvider> provider);

  const std::string& transmissionTargetToken() const { return transmissionTargetToken_; }
  const std::shared_ptr<TLAnalyticsTransmissionTarget>& parentTarget() const { return parentTarget_; }
  std::map<std::string, std::shared_ptr<TLAnalyticsTransmissionTarget>> childTransmissionTargets() const;
  const std::string& isEnabledKey() const { return isEnabledKey_; }
  const std::shared_ptr<TLChannelGroupProtocol>& channelGroup() const { return channelGroup_; }
  const std::shared_ptr<TLPropertyConfigurator>& propertyConfigurator() const {
    return propertyConfigurator_;
  }

 private:
  const std::string transmissionTargetToken_;
  const std::shared_ptr<TLAnalyticsTransmissionTarget> parentTarget_;
  const std::shared_ptr<TLChannelGroupProtocol> channelGroup_;
  const std::string isEnabledKey_;
  std::shared_ptr<TLPropertyConfigurator> propertyConfigurator_;
  mutable std::mutex childrenMutex_;
  std::map<std::string, std::shared_ptr<TLAnalyticsTransmissionTarget>> childTransmissionTargets_;
};
