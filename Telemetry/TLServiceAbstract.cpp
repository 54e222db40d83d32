#include "Telemetry/TLServiceAbstract.h"

#include <fmt/format.h>

#include <shared_mutex>

#include "Telemetry/Internals/Channel/TLChannelProtocol.h"
#include "Telemetry/Internals/Util/TLLogger.h"
#include "Telemetry/Internals/Util/TLUserDefaults.h"
#include "Telemetry/TLTelemetry.h"

TLServiceAbstract::TLServiceAbstract(std::string groupId, std::string className)
    : groupId_(std::move(groupId)),
      className_(className.empty() ? "TL" + groupId_ : std::move(className)),
      isEnabledKey_(fmt::format(kEnabledKeyFormat, groupId_)) {}

std::string TLServiceAbstract::shortClassName() const {
  return className_.size() > 2 ? className_.substr(2) : std::string();
}

bool TLServiceAbstract::isEnabled() {
  int cached = enabledCache_.load(std::memory_order_acquire);
  if (cached >= 0) return cached != 0;
  bool enabled = TLUserDefaults::shared()->flagForKey(isEnabledKey_).value_or(true);
  enabledCache_.store(enabled ? 1 : 0, std::memory_order_release);
  return enabled;
}

void TLServiceAbstract::setEnabled(bool isEnabled) {
  if (isEnabled == this->isEnabled()) return;
  applyEnabledState(isEnabled);
  TLUserDefaults::shared()->setObject(platform::PropertyList(isEnabled), isEnabledKey_);
  enabledCache_.store(isEnabled ? 1 : 0, std::memory_order_release);
}

void TLServiceAbstract::applyEnabledState(bool isEnabled) {
  if (auto unit = channelUnit()) unit->setEnabled(isEnabled, true);
}

bool TLServiceAbstract::canBeUsed() {
  bool canBeUsed = TLTelemetry::sharedInstance()->sdkConfigured() && isStarted();
  if (!canBeUsed) {
    TLLogError(kTLLogTag,
               "{} service hasn't been started. You need to call [TLTelemetry start:YOUR_APP_SECRET "
               "withServices:LIST_OF_SERVICES] first.",
               shortClassName());
  }
  return canBeUsed;
}

void TLServiceAbstract::startWithChannelGroup(const std::shared_ptr<TLChannelGroupProtocol>& channelGroup,
                                              const String& appSecret, const String& transmissionTargetToken,
                                              bool fromApplication) {
  startedFromApplication_ = fromApplication;
  {
    std::lock_guard lock(partsMutex_);
    channelGroup_ = channelGroup;
    appSecret_ = appSecret;
    defaultTransmissionTargetToken_ = transmissionTargetToken;
  }
  started_ = true;
  if (auto configuration = channelUnitConfiguration(); configuration && channelGroup) {
    setChannelUnit(channelGroup->addChannelUnitWithConfiguration(configuration));
  }
  if (isEnabled()) applyEnabledState(true);
}

void TLServiceAbstract::updateConfigurationWithAppSecret(const String& appSecret,
                                                         const String& transmissionTargetToken) {
  startedFromApplication_ = true;
  {
    std::lock_guard lock(partsMutex_);
    appSecret_ = appSecret;
    defaultTransmissionTargetToken_ = transmissionTargetToken;
  }
  if (isEnabled()) applyEnabledState(true);
}

void TLServiceAbstract::classSetEnabled(bool isEnabled) {
  std::lock_guard lock(TLTelemetryLock());
  if (!canBeUsed()) return;
  if (!TLTelemetry::isEnabled() && !TLTelemetry::sharedInstance()->isEnabledStateUpdating()) {
    TLLogError(
        kTLLogTag,
        "The SDK is disabled. Re-enable the whole SDK from Telemetry first before enabling {} service.",
        shortClassName());
    return;
  }
  setEnabled(isEnabled);
}

bool TLServiceAbstract::classIsEnabled() {
  std::lock_guard lock(TLTelemetryLock());
  return canBeUsed() && isEnabled();
}

std::shared_ptr<TLChannelGroupProtocol> TLServiceAbstract::channelGroup() const {
  std::shared_lock lock(partsMutex_);
  return channelGroup_;
}

void TLServiceAbstract::setChannelGroup(std::shared_ptr<TLChannelGroupProtocol> channelGroup) {
  std::lock_guard lock(partsMutex_);
  channelGroup_ = std::move(channelGroup);
}

std::shared_ptr<TLChannelUnitProtocol> TLServiceAbstract::channelUnit() const {
  std::shared_lock lock(partsMutex_);
  return channelUnit_;
}

void TLServiceAbstract::setChannelUnit(std::shared_ptr<TLChannelUnitProtocol> channelUnit) {
  std::lock_guard lock(partsMutex_);
  channelUnit_ = std::move(channelUnit);
}

TLServiceCommon::String TLServiceAbstract::appSecret() const {
  std::shared_lock lock(partsMutex_);
  return appSecret_;
}

void TLServiceAbstract::setAppSecret(String appSecret) {
  std::lock_guard lock(partsMutex_);
  appSecret_ = std::move(appSecret);
}

TLServiceCommon::String TLServiceAbstract::defaultTransmissionTargetToken() const {
  std::shared_lock lock(partsMutex_);
  return defaultTransmissionTargetToken_;
}

void TLServiceAbstract::setDefaultTransmissionTargetToken(String token) {
  std::lock_guard lock(partsMutex_);
  defaultTransmissionTargetToken_ = std::move(token);
}

// ---- TLServiceClass ----

void TLServiceClass::setEnabled(bool isEnabled) const {
  if (auto instance = sharedInstance()) instance->classSetEnabled(isEnabled);
}

bool TLServiceClass::isEnabled() const {
  auto instance = sharedInstance();
  return instance && instance->classIsEnabled();
}
