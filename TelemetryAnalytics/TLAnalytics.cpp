#include "TelemetryAnalytics/TLAnalytics.h"

#include <fmt/format.h>

#include <shared_mutex>

#include "Telemetry/Internals/Context/TLSessionContext.h"
#include "Telemetry/Internals/Context/TLUserIdContext.h"
#include "Telemetry/Internals/Util/TLLogger.h"
#include "Telemetry/Internals/Util/TLRandomId.h"
#include "Telemetry/Internals/Util/TLReadMostlyMutex.h"
#include "Telemetry/Internals/Util/TLUtility.h"
#include "Telemetry/TLTelemetry.h"
#include "TelemetryAnalytics/Internals/TLAnalyticsCategory.h"
#include "TelemetryAnalytics/TransmissionTarget/TLAnalyticsTransmissionTarget.h"
#include "platform/MainQueue.h"

namespace {

// Every tracked event asks for the shared instance: readers share the lock.
TLReadMostlyMutex sharedAnalyticsMutex;
std::shared_ptr<TLAnalytics> sharedAnalytics;

std::string criticalGroupId() {
  return fmt::format("{}_{}", kTLAnalyticsGroupId, kTLAnalyticsCriticalSuffix);
}

}  // namespace

// ---- Class-level interface ----

std::shared_ptr<TLAnalytics> TLAnalytics::sharedInstance() {
  {
    std::shared_lock lock(sharedAnalyticsMutex);
    if (sharedAnalytics) return sharedAnalytics;
  }
  std::lock_guard lock(sharedAnalyticsMutex);
  if (!sharedAnalytics) sharedAnalytics = init();
  return sharedAnalytics;
}

void TLAnalytics::resetSharedInstance() {
  std::shared_ptr<TLAnalytics> old;
  std::lock_guard lock(sharedAnalyticsMutex);
  old = std::move(sharedAnalytics);
}

void TLAnalytics::trackEvent(const std::optional<std::string>& name) {
  trackEvent(name, std::optional<StringProperties>(), kTLFlagsNormal);
}

void TLAnalytics::trackEvent(const std::optional<std::string>& name,
                             const std::optional<StringProperties>& properties, std::uint64_t flags) {
  std::optional<UntypedProperties> values;
  if (properties) values = untyped(*properties);
  sharedInstance()->trackEventWithProperties(name, values, nullptr, flags);
}

void TLAnalytics::trackEvent(const std::optional<std::string>& name,
                             const std::shared_ptr<TLEventProperties>& properties, std::uint64_t flags) {
  sharedInstance()->trackEventWithTypedProperties(name, properties, nullptr, flags);
}

void TLAnalytics::trackEventForTransmissionTarget(const std::optional<std::string>& name,
                                                  const std::shared_ptr<TLEventProperties>& properties,
                                                  const Target& target, std::uint64_t flags) {
  sharedInstance()->trackEventWithTypedProperties(name, properties, target, flags);
}

void TLAnalytics::trackPage(const std::optional<std::string>& name,
                            const std::optional<StringProperties>& properties) {
  std::optional<UntypedProperties> values;
  if (properties) values = untyped(*properties);
  sharedInstance()->trackPageWithProperties(name, values);
}

void TLAnalytics::pause() { sharedInstance()->pauseUnits(); }
void TLAnalytics::resume() { sharedInstance()->resumeUnits(); }
void TLAnalytics::setAutoPageTrackingEnabled(bool enabled) { sharedInstance()->setAutoPageTracking(enabled); }
bool TLAnalytics::isAutoPageTrackingEnabled() { return sharedInstance()->autoPageTrackingEnabled(); }
void TLAnalytics::setTransmissionInterval(std::uint64_t seconds) {
  sharedInstance()->applyTransmissionInterval(seconds);
}
TLAnalytics::Target TLAnalytics::transmissionTargetForToken(const std::string& token) {
  return sharedInstance()->targetForToken(token);
}
void TLAnalytics::pauseTransmissionTargetForToken(const std::string& token) {
  sharedInstance()->pauseTargetForToken(token);
}
void TLAnalytics::resumeTransmissionTargetForToken(const std::string& token) {
  sharedInstance()->resumeTargetForToken(token);
}
void TLAnalytics::setDelegate(const std::shared_ptr<TLAnalyticsDelegate>& delegate) {
  sharedInstance()->setAnalyticsDelegate(delegate);
}

// ---- Construction ----

std::shared_ptr<TLAnalytics> TLAnalytics::init(std::shared_ptr<TLSessionTracker> tracker) {
  TLRegisterAnalyticsArchivedClasses();
  auto analytics = std::make_shared<TLAnalytics>();
  analytics->sessionTracker_ = tracker ? std::move(tracker) : TLSessionTracker::init();
  analytics->sessionTracker_->setDelegate(analytics);
  return analytics;
}

TLAnalytics::TLAnalytics() : TLServiceAbstract(kTLAnalyticsGroupId, kClassName) {}

std::shared_ptr<TLAnalytics> TLAnalytics::self() {
  return std::static_pointer_cast<TLAnalytics>(shared_from_this());
}

// ---- Service ----

std::shared_ptr<TLChannelUnitConfiguration> TLAnalytics::channelUnitConfiguration() const {
  std::lock_guard lock(TLTelemetryLock());
  return channelUnitConfiguration_;
}

void TLAnalytics::startWithChannelGroup(const std::shared_ptr<TLChannelGroupProtocol>& channelGroup,
                                        const String& appSecret, const String& transmissionTargetToken,
                                        bool fromApplication) {
  std::lock_guard lock(TLTelemetryLock());
  channelUnitConfiguration_ =
      TLChannelUnitConfiguration::initDefaultConfigurationWithGroupId(kTLAnalyticsGroupId, flushInterval_);
  TLServiceAbstract::startWithChannelGroup(channelGroup, appSecret, transmissionTargetToken, fromApplication);
  if (transmissionTargetToken) setDefaultTarget(createTransmissionTargetForToken(*transmissionTargetToken));
  if (channelGroup) {
    auto unit = channelGroup->addChannelUnitWithConfiguration(
        TLChannelUnitConfiguration::initDefaultConfigurationWithGroupId(criticalGroupId()));
    std::lock_guard unitLock(unitsMutex_);
    criticalChannelUnit_ = std::move(unit);
  }
  TLLogVerbose(kTLAnalyticsLogTag, "Started Analytics service.");
}

void TLAnalytics::updateConfigurationWithAppSecret(const String& appSecret,
                                                   const String& transmissionTargetToken) {
  std::lock_guard lock(TLTelemetryLock());
  TLServiceAbstract::updateConfigurationWithAppSecret(appSecret, transmissionTargetToken);
  if (transmissionTargetToken && !defaultTransmissionTarget()) {
    setDefaultTarget(createTransmissionTargetForToken(*transmissionTargetToken));
  }
}

void TLAnalytics::applyEnabledState(bool isEnabled) {
  std::lock_guard lock(TLTelemetryLock());
  TLServiceAbstract::applyEnabledState(isEnabled);
  if (auto critical = criticalChannelUnit()) critical->setEnabled(isEnabled, true);
  auto group = channelGroup();
  if (isEnabled && isStartedFromApplication()) {
    resumeUnits();
    sessionTracker_->start();
    if (group) {
      // Added once, however often the state is applied.
      group->removeDelegate(sessionTracker_);
      group->removeDelegate(self());
      group->addDelegate(sessionTracker_);
      group->addDelegate(self());
    }
    if (autoPageTrackingEnabled_) {
      platform::postToMain([] {
        auto missed = TLAnalyticsCategory::missedPageViewName();
        if (missed && !missed->empty()) TLAnalytics::trackPage(*missed);
      });
    }
  } else if (!isEnabled && isStartedFromApplication()) {
    if (group) {
      group->removeDelegate(sessionTracker_);
      group->removeDelegate(self());
    }
    sessionTracker_->stop();
    TLSessionContext::sharedInstance()->clearSessionHistoryAndKeepCurrentSession(false);
  }
  TLLogInfo(kTLAnalyticsLogTag, "Analytics service has been {}.", isEnabled ? "enabled" : "disabled");
}

void TLAnalytics::setEnabled(bool isEnabled) {
  std::lock_guard lock(TLTelemetryLock());
  TLServiceAbstract::setEnabled(isEnabled);
  for (const auto& [token, target] : transmissionTargets_) target->setEnabled(isEnabled);
}

// ---- Tracking ----

bool TLAnalytics::canTrack() {
  // Callers on many threads track at once, so the usual answer is read from atomics without the
  // SDK lock: a caller preempted while holding it would stall every other caller. The state they
  // mirror changes under the lock; a track racing a change may go either way, and once
  // setEnabled(false) has returned every track sees it (the units drop what was already on its way).
  auto enabled = knownEnabledState();
  if (enabled && isStarted() && TLTelemetry::sharedInstance()->sdkConfigured()) return *enabled;
  // Not started, not configured or the stored state not read yet: the checks under the lock, which
  // also log why the service cannot be used.
  std::lock_guard lock(TLTelemetryLock());
  return canBeUsed() && isEnabled();
}

void TLAnalytics::trackEventWithProperties(const std::optional<std::string>& name,
                                           const std::optional<UntypedProperties>& properties,
                                           const Target& target, std::uint64_t flags) {
  std::shared_ptr<TLEventProperties> typed;
  if (properties) typed = TLEventProperties::initWithStringDictionary(removeInvalidProperties(*properties));
  trackEventWithTypedProperties(name, typed, target, flags);
}

void TLAnalytics::trackEventWithTypedProperties(const std::optional<std::string>& name,
                                                std::shared_ptr<TLEventProperties> properties,
                                                const Target& target, std::uint64_t flags) {
  if (!canTrack()) return;
  Target chosen = target;
  bool isDefault = false;
  if (auto fallback = defaultTransmissionTarget()) {
    if (!chosen) chosen = fallback;
    isDefault = chosen == fallback;
  }
  unsigned priority = static_cast<unsigned>(flags & 0xFF);
  if (priority != kTLFlagsNormal && priority != kTLFlagsCritical) {
    TLLogWarning(kTLAnalyticsLogTag, "Invalid flags ({}) received, using normal as a default.", priority);
    priority = kTLFlagsNormal;
  }
  auto log = TLEventLog::init();
  if (chosen) {
    if (!chosen->isEnabled()) {
      TLLogError(kTLAnalyticsLogTag, "This transmission target is disabled.");
      return;
    }
    log->addTransmissionTargetToken(chosen->transmissionTargetToken());
    log->setTag(chosen);
    if (isDefault) log->setUserId(TLUserIdContext::sharedInstance()->userId());
  } else {
    properties = validateTelemetryEventProperties(properties);
  }
  log->setName(name);
  log->setEventId(TLRandomUUIDString());
  log->setTypedProperties(properties && !properties->isEmpty() ? properties : nullptr);
  sendLog(log, priority);
}

void TLAnalytics::trackPageWithProperties(const std::optional<std::string>& name,
                                          const std::optional<UntypedProperties>& properties) {
  if (!canTrack()) return;
  auto log = TLPageLog::init();
  log->setName(name);
  if (properties && !properties->empty()) log->setProperties(removeInvalidProperties(*properties));
  sendLog(log, kTLFlagsNormal);
}

void TLAnalytics::sendLog(const std::shared_ptr<TLLog>& log, std::uint64_t flags) {
  auto unit = (flags & kTLFlagsCritical) ? criticalChannelUnit() : channelUnit();
  if (unit && log) unit->enqueueItem(log, flags);
}

TLAnalytics::StringProperties TLAnalytics::removeInvalidProperties(const UntypedProperties& properties) {
  StringProperties valid;
  for (const auto& [key, value] : properties) {
    const std::string* text = key.asString();
    if (!text) {
      TLLogWarning(kTLAnalyticsLogTag, "Event property contains an invalid key, dropping the property.");
      continue;
    }
    if (value.isNil()) {
      TLLogWarning(kTLAnalyticsLogTag,
                   "Event property contains an invalid value for key {}, dropping the property.", *text);
      continue;
    }
    if (const std::string* string = value.asString()) valid[*text] = *string;
  }
  return valid;
}

TLAnalytics::UntypedProperties TLAnalytics::untyped(const StringProperties& properties) {
  UntypedProperties values;
  values.reserve(properties.size());
  for (const auto& [key, value] : properties) values.emplace_back(key, value);
  return values;
}

void TLAnalytics::pauseUnits() {
  std::lock_guard lock(TLTelemetryLock());
  if (!canBeUsed()) return;
  TLIdentifyingObject identity = shared_from_this();
  if (auto unit = channelUnit()) unit->pauseWithIdentifyingObject(identity);
  if (auto critical = criticalChannelUnit()) critical->pauseWithIdentifyingObject(identity);
}

void TLAnalytics::resumeUnits() {
  std::lock_guard lock(TLTelemetryLock());
  if (!canBeUsed()) return;
  TLIdentifyingObject identity = shared_from_this();
  if (auto unit = channelUnit()) unit->resumeWithIdentifyingObject(identity);
  if (auto critical = criticalChannelUnit()) critical->resumeWithIdentifyingObject(identity);
}

void TLAnalytics::applyTransmissionInterval(std::uint64_t seconds) {
  std::lock_guard lock(TLTelemetryLock());
  if (isStarted()) {
    TLLogError(kTLAnalyticsLogTag,
               "The transmission interval should be set before the TLAnalytics service is started.");
    return;
  }
  if (seconds >= kMinFlushInterval && seconds <= kMaxFlushInterval) {
    flushInterval_ = seconds;
    TLLogDebug(kTLAnalyticsLogTag, "Transmission interval set to {} second(s)", seconds);
  } else {
    TLLogError(kTLAnalyticsLogTag,
               "The transmission interval is not valid, it should be between {} second(s) and {} second(s) "
               "({} day).",
               kMinFlushInterval, kMaxFlushInterval, 1);
  }
}

std::uint64_t TLAnalytics::flushInterval() const {
  std::lock_guard lock(TLTelemetryLock());
  return flushInterval_;
}

void TLAnalytics::setAnalyticsDelegate(const std::shared_ptr<TLAnalyticsDelegate>& delegate) {
  std::lock_guard lock(TLTelemetryLock());
  delegate_ = delegate;
}

// ---- Targets ----

TLAnalytics::Target TLAnalytics::targetForToken(const std::string& token) {
  std::lock_guard lock(TLTelemetryLock());
  if (auto it = transmissionTargets_.find(token); it != transmissionTargets_.end()) {
    TLLogDebug(kTLAnalyticsLogTag, "Returning transmission target found with id {}.",
               TLUtility::targetKeyFromTargetToken(token).value_or(""));
    return it->second;
  }
  auto target = createTransmissionTargetForToken(token);
  transmissionTargets_[token] = target;
  return target;
}

TLAnalytics::Target TLAnalytics::createTransmissionTargetForToken(const std::string& token) {
  auto target = TLAnalyticsTransmissionTarget::init(token, nullptr, channelGroup());
  TLLogDebug(kTLAnalyticsLogTag, "Created transmission target with target key {}.",
             TLUtility::targetKeyFromTargetToken(token).value_or(""));
  return target;
}

std::shared_ptr<TLChannelUnitProtocol> TLAnalytics::lookUpTwin(
    const std::string& groupId, std::shared_ptr<TLChannelUnitProtocol>& cache) {
  std::lock_guard lock(TLTelemetryLock());
  if (!cache) {
    if (auto group = channelGroup()) cache = group->channelUnitForGroupId(groupId);
  }
  return cache;
}

std::shared_ptr<TLChannelUnitProtocol> TLAnalytics::eventCollectorChannelUnit() {
  return lookUpTwin(std::string(kTLAnalyticsGroupId) + "/one", eventCollectorChannelUnit_);
}

std::shared_ptr<TLChannelUnitProtocol> TLAnalytics::eventCollectorCriticalChannelUnit() {
  return lookUpTwin(criticalGroupId() + "/one", eventCollectorCriticalChannelUnit_);
}

void TLAnalytics::pauseTargetForToken(const std::string& token) {
  if (auto unit = eventCollectorChannelUnit()) unit->pauseSendingLogsWithToken(token);
  if (auto unit = eventCollectorCriticalChannelUnit()) unit->pauseSendingLogsWithToken(token);
}

void TLAnalytics::resumeTargetForToken(const std::string& token) {
  if (auto unit = eventCollectorChannelUnit()) unit->resumeSendingLogsWithToken(token);
  if (auto unit = eventCollectorCriticalChannelUnit()) unit->resumeSendingLogsWithToken(token);
}

TLAnalytics::Target TLAnalytics::defaultTransmissionTarget() const {
  // Most configurations have none: no lock then.
  if (!hasDefaultTarget_.load(std::memory_order_acquire)) return nullptr;
  std::shared_lock lock(unitsMutex_);
  return defaultTransmissionTarget_;
}

void TLAnalytics::setDefaultTarget(Target target) {
  std::lock_guard lock(unitsMutex_);
  defaultTransmissionTarget_ = std::move(target);
  hasDefaultTarget_.store(defaultTransmissionTarget_ != nullptr, std::memory_order_release);
}

std::shared_ptr<TLChannelUnitProtocol> TLAnalytics::criticalChannelUnit() const {
  std::shared_lock lock(unitsMutex_);
  return criticalChannelUnit_;
}

// ---- Session tracker and channel callbacks ----

std::shared_ptr<TLAnalyticsDelegate> TLAnalytics::currentDelegate() const {
  std::lock_guard lock(TLTelemetryLock());
  return delegate_.lock();
}

void TLAnalytics::sessionTrackerProcessLog(TLSessionTracker&, const std::shared_ptr<TLLog>& log) {
  sendLog(log, kTLFlagsNormal);
}

void TLAnalytics::channelWillSendLog(TLChannelProtocol&, const std::shared_ptr<TLLog>& log) {
  auto delegate = currentDelegate();
  if (!delegate) return;
  if (auto event = std::dynamic_pointer_cast<TLEventLog>(log)) {
    delegate->analyticsWillSendEventLog(*this, event);
  } else if (auto page = std::dynamic_pointer_cast<TLPageLog>(log)) {
    delegate->analyticsWillSendPageLog(*this, page);
  }
}

void TLAnalytics::channelDidSucceedSendingLog(TLChannelProtocol&, const std::shared_ptr<TLLog>& log) {
  auto delegate = currentDelegate();
  if (!delegate) return;
  if (auto event = std::dynamic_pointer_cast<TLEventLog>(log)) {
    delegate->analyticsDidSucceedSendingEventLog(*this, event);
  } else if (auto page = std::dynamic_pointer_cast<TLPageLog>(log)) {
    delegate->analyticsDidSucceedSendingPageLog(*this, page);
  }
}

void TLAnalytics::channelDidFailSendingLog(TLChannelProtocol&, const std::shared_ptr<TLLog>& log,
                                           const std::optional<platform::Error>& error) {
  auto delegate = currentDelegate();
  if (!delegate) return;
  if (auto event = std::dynamic_pointer_cast<TLEventLog>(log)) {
    delegate->analyticsDidFailSendingEventLog(*this, event, error);
  } else if (auto page = std::dynamic_pointer_cast<TLPageLog>(log)) {
    delegate->analyticsDidFailSendingPageLog(*this, page, error);
  }
}
