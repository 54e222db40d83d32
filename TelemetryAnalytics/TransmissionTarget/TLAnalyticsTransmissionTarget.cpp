#include "TelemetryAnalytics/TransmissionTarget/TLAnalyticsTransmissionTarget.h"

#include <fmt/format.h>

#include "Telemetry/Internals/Model/TLEventSchemaLog.h"
#include "Telemetry/Internals/Util/TLLogger.h"
#include "Telemetry/Internals/Util/TLUserDefaults.h"
#include "Telemetry/Internals/Util/TLUtility.h"
#include "Telemetry/TLService.h"
#include "TelemetryAnalytics/TLAnalytics.h"
#include "TelemetryAnalytics/TransmissionTarget/TLPropertyConfigurator.h"

namespace {

std::mutex providerMutex;
std::shared_ptr<TLAnalyticsAuthenticationProvider> sharedProvider;

std::string enabledKeyFor(const std::string& token) {
  return fmt::format("{}/{}", fmt::format(TLServiceAbstract::kEnabledKeyFormat, kTLAnalyticsGroupId),
                     TLUtility::targetKeyFromTargetToken(token).value_or(""));
}

}  // namespace

std::shared_ptr<TLAnalyticsTransmissionTarget> TLAnalyticsTransmissionTarget::init(
    const std::string& token, const std::shared_ptr<TLAnalyticsTransmissionTarget>& parentTarget,
    const std::shared_ptr<TLChannelGroupProtocol>& channelGroup) {
  auto target = std::make_shared<TLAnalyticsTransmissionTarget>(token, parentTarget, channelGroup);
  target->propertyConfigurator_ = std::make_shared<TLPropertyConfigurator>(target);
  // Born under a disabled parent (or a disabled service): disabled from the start.
  if (!target->isImmediateParent()) {
    TLUserDefaults::shared()->setObject(platform::PropertyList(false), target->isEnabledKey_);
  }
  if (channelGroup) {
    channelGroup->addDelegate(target->propertyConfigurator_);
    channelGroup->addDelegate(target);
  }
  return target;
}

TLAnalyticsTransmissionTarget::TLAnalyticsTransmissionTarget(
    const std::string& token, std::shared_ptr<TLAnalyticsTransmissionTarget> parentTarget,
    std::shared_ptr<TLChannelGroupProtocol> channelGroup)
    : transmissionTargetToken_(token),
      parentTarget_(std::move(parentTarget)),
      channelGroup_(std::move(channelGroup)),
      isEnabledKey_(enabledKeyFor(token)) {}

std::shared_ptr<TLAnalyticsTransmissionTarget> TLAnalyticsTransmissionTarget::transmissionTargetForToken(
    const std::string& token) {
  // The SDK's lock first, as a switch of the tree takes it before the children.
  std::lock_guard sdkLock(TLTelemetryLock());
  std::lock_guard lock(childrenMutex_);
  auto& child = childTransmissionTargets_[token];
  if (!child) child = init(token, shared_from_this(), channelGroup_);
  return child;
}

std::map<std::string, std::shared_ptr<TLAnalyticsTransmissionTarget>>
TLAnalyticsTransmissionTarget::childTransmissionTargets() const {
  std::lock_guard lock(childrenMutex_);
  return childTransmissionTargets_;
}

void TLAnalyticsTransmissionTarget::trackEvent(const std::optional<std::string>& name) {
  trackEvent(name, std::shared_ptr<TLEventProperties>(), kTLFlagsNormal);
}

void TLAnalyticsTransmissionTarget::trackEvent(const std::optional<std::string>& name,
                                               const Properties& properties, std::uint64_t flags) {
  std::shared_ptr<TLEventProperties> typed;
  if (properties) {
    typed = TLEventProperties::init();
    for (const auto& [key, value] : *properties) typed->setString(value, key);
  }
  trackEvent(name, typed, flags);
}

void TLAnalyticsTransmissionTarget::trackEvent(const std::optional<std::string>& name,
                                               const std::shared_ptr<TLEventProperties>& properties,
                                               std::uint64_t flags) {
  auto merged = TLEventProperties::init();
  for (const TLAnalyticsTransmissionTarget* level = this; level; level = level->parentTarget_.get()) {
    level->propertyConfigurator_->mergeTypedPropertiesWith(*merged);
  }
  if (properties) merged->mergeEventProperties(*properties);
  if (!properties && merged->isEmpty()) merged = nullptr;
  TLAnalytics::trackEventForTransmissionTarget(name, merged, shared_from_this(), flags);
}

bool TLAnalyticsTransmissionTarget::isEnabled() const {
  std::lock_guard lock(TLTelemetryLock());
  auto stored = TLUserDefaults::shared()->objectForKey(isEnabledKey_);
  if (!stored) return true;
  if (const bool* flag = stored->asBoolean()) return *flag;
  if (const std::int64_t* number = stored->asInteger()) return *number != 0;
  return true;
}

void TLAnalyticsTransmissionTarget::setEnabled(bool isEnabled) {
  std::lock_guard lock(TLTelemetryLock());
  if (isEnabled != this->isEnabled()) {
    if (isEnabled && !isImmediateParent()) {
      TLLogWarning(kTLAnalyticsLogTag,
                   "Can't enable; parent transmission target and/or Analytics service is disabled.");
      return;
    }
    TLUserDefaults::shared()->setObject(platform::PropertyList(isEnabled), isEnabledKey_);
    if (isEnabled) resume();
  }
  for (const auto& [token, child] : childTransmissionTargets()) child->setEnabled(isEnabled);
}

void TLAnalyticsTransmissionTarget::pause() {
  if (isEnabled()) {
    TLAnalytics::pauseTransmissionTargetForToken(transmissionTargetToken_);
  } else {
    TLLogError(kTLAnalyticsLogTag, "This transmission target is disabled.");
  }
}

void TLAnalyticsTransmissionTarget::resume() {
  if (isEnabled()) {
    TLAnalytics::resumeTransmissionTargetForToken(transmissionTargetToken_);
  } else {
    TLLogError(kTLAnalyticsLogTag, "This transmission target is disabled.");
  }
}

bool TLAnalyticsTransmissionTarget::isImmediateParent() const {
  if (parentTarget_) return parentTarget_->isEnabled();
  return TLAnalytics::serviceClass().isEnabled();
}

void TLAnalyticsTransmissionTarget::channelPrepareLog(TLChannelProtocol&, const std::shared_ptr<TLLog>& log) {
  auto schemaLog = std::dynamic_pointer_cast<TLEventSchemaLog>(log);
  if (!schemaLog) return;
  auto tokens = log->transmissionTargetTokens();
  if (!tokens || !tokens->count(transmissionTargetToken_)) return;
  auto provider = authenticationProvider();
  if (!provider || !isEnabled()) return;
  if (!schemaLog->ext()) schemaLog->setExt(TLCSExtensions::init());
  if (!schemaLog->ext()->protocolExt()) schemaLog->ext()->setProtocolExt(TLProtocolExtension::init());
  schemaLog->ext()->protocolExt()->setTicketKeys(std::vector<std::string>{provider->ticketKeyHash()});
  provider->checkTokenExpiry();
}

void TLAnalyticsTransmissionTarget::addAuthenticationProvider(
    const std::shared_ptr<TLAnalyticsAuthenticationProvider>& provider) {
  if (!provider) {
    TLLogError(kTLAnalyticsLogTag, "Authentication provider may not be null.");
    return;
  }
  setAuthenticationProvider(provider);
  provider->acquireTokenAsync();
}

std::shared_ptr<TLAnalyticsAuthenticationProvider> TLAnalyticsTransmissionTarget::authenticationProvider() {
  std::lock_guard lock(providerMutex);
  return sharedProvider;
}

void TLAnalyticsTransmissionTarget::setAuthenticationProvider(
    std::shared_ptr<TLAnalyticsAuthenticationProvider> provider) {
  std::lock_guard lock(providerMutex);
  sharedProvider = std::move(provider);
}
