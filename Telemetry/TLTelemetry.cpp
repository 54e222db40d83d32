#include "Telemetry/TLTelemetry.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <shared_mutex>
#include <sstream>

#include "Telemetry/Internals/Channel/TLChannelGroupDefault.h"
#include "Telemetry/Internals/Channel/TLChannelUnitConfiguration.h"
#include "Telemetry/Internals/Channel/TLEventCollectorChannelDelegate.h"
#include "Telemetry/Internals/Context/TLAuthTokenContext.h"
#include "Telemetry/Internals/Context/TLDeviceTracker.h"
#include "Telemetry/Internals/Context/TLSessionContext.h"
#include "Telemetry/Internals/Context/TLUserIdContext.h"
#include "Telemetry/Internals/DelegateForwarder/TLAppDelegateForwarder.h"
#include "Telemetry/Internals/Model/TLCustomPropertiesLog.h"
#include "Telemetry/Internals/Model/TLStartServiceLog.h"
#include "Telemetry/Internals/Util/TLReadMostlyMutex.h"
#include "Telemetry/Internals/Util/TLUserDefaults.h"
#include "Telemetry/Internals/Util/TLUtility.h"
#include "platform/Log.h"
#include "platform/UUID.h"

#ifndef QV_TELEMETRY_LOG_URL
#define QV_TELEMETRY_LOG_URL ""
#endif
#ifndef QV_TELEMETRY_EVENT_COLLECTOR_URL
#define QV_TELEMETRY_EVENT_COLLECTOR_URL ""
#endif

std::recursive_mutex& TLTelemetryLock() {
  static std::recursive_mutex lock;
  return lock;
}

namespace {

// Every tracked log asks whether the SDK is configured through the shared instance: readers share
// the lock.
TLReadMostlyMutex sharedTelemetryMutex;
std::shared_ptr<TLTelemetry> sharedTelemetry;

std::string trimmed(const std::string& text) {
  const char* blanks = " \t\n\r\f\v";
  auto first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return {};
  auto last = text.find_last_not_of(blanks);
  return text.substr(first, last - first + 1);
}

std::string joined(const std::vector<std::string>& parts, const char* separator) {
  std::string out;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i) out += separator;
    out += parts[i];
  }
  return out;
}

// The Event Collector origin of the build, or none (the collector delegate's own fallback).
std::optional<std::string> defaultEventCollectorUrl() {
  std::string url = QV_TELEMETRY_EVENT_COLLECTOR_URL;
  if (url.empty()) return std::nullopt;
  return url;
}

}  // namespace

// ---- Class-level operations ----

std::shared_ptr<TLTelemetry> TLTelemetry::sharedInstance() {
  {
    std::shared_lock lock(sharedTelemetryMutex);
    if (sharedTelemetry) return sharedTelemetry;
  }
  std::lock_guard lock(sharedTelemetryMutex);
  if (!sharedTelemetry) sharedTelemetry = std::make_shared<TLTelemetry>();
  return sharedTelemetry;
}

void TLTelemetry::resetSharedInstance() {
  std::shared_ptr<TLTelemetry> old;
  {
    std::lock_guard lock(sharedTelemetryMutex);
    old = std::move(sharedTelemetry);
  }
}

std::string TLTelemetry::defaultLogUrl() { return QV_TELEMETRY_LOG_URL; }

void TLTelemetry::configureWithAppSecret(const String& configuration) {
  sharedInstance()->configureWithAppSecret(TLUtility::appSecretFrom(configuration),
                                           TLUtility::transmissionTargetTokenFrom(configuration), true);
}

void TLTelemetry::configure() { sharedInstance()->configureWithAppSecret(std::nullopt, std::nullopt, true); }

void TLTelemetry::start(const String& configuration, const Services& services) {
  sharedInstance()->start(configuration, services, true);
}

void TLTelemetry::startWithServices(const Services& services) {
  sharedInstance()->start(std::nullopt, services, true);
}

void TLTelemetry::startFromLibraryWithServices(const Services& services) {
  sharedInstance()->start(std::nullopt, services, false);
}

void TLTelemetry::startService(const TLServiceClass& service) {
  auto instance = sharedInstance();
  instance->startServices({service}, instance->appSecret(), instance->defaultTransmissionTargetToken(), true);
}

bool TLTelemetry::isConfigured() {
  auto instance = sharedInstance();
  return instance->sdkConfigured() && instance->configuredFromApplication();
}

bool TLTelemetry::isRunningInTelemetryTestCloud() {
  const char* value = std::getenv(kTLRunningInTestCloudVariable);
  return value && std::string(value) == "1";
}

void TLTelemetry::setLogUrl(const std::string& logUrl) { sharedInstance()->setSdkLogUrl(logUrl); }

void TLTelemetry::setEnabled(bool isEnabled) { sharedInstance()->setSdkEnabled(isEnabled); }

bool TLTelemetry::isEnabled() {
  auto instance = sharedInstance();
  std::lock_guard lock(TLTelemetryLock());
  if (!instance->canBeUsed()) return false;
  return instance->isSdkEnabled();
}

bool TLTelemetry::isAppDelegateForwarderEnabled() {
  return TLAppDelegateForwarder::sharedInstance()->isEnabled();
}

std::string TLTelemetry::installId() { return sharedInstance()->sdkInstallId(); }

TLLogLevel TLTelemetry::logLevel() { return TLLogger::currentLogLevel(); }

void TLTelemetry::setLogLevel(TLLogLevel level) {
  TLLogger::setCurrentLogLevel(level);
  // Traces kept since start-up are printed once the level is known.
  TLDelegateForwarder::flushTraceBuffer();
}

void TLTelemetry::setLogHandler(TLLogHandler handler) { TLLogger::setLogHandler(std::move(handler)); }

void TLTelemetry::setWrapperSdk(std::shared_ptr<TLWrapperSdk> wrapperSdk) {
  TLDeviceTracker::sharedInstance()->setWrapperSdk(std::move(wrapperSdk));
}

void TLTelemetry::setCountryCode(const String& countryCode) {
  TLDeviceTracker::sharedInstance()->setCountryCode(countryCode);
}

void TLTelemetry::setCustomProperties(const CustomProperties& properties) {
  sharedInstance()->setSdkCustomProperties(properties);
}

void TLTelemetry::setMaxStorageSize(std::int64_t sizeInBytes, std::function<void(bool)> completionHandler) {
  sharedInstance()->setSdkMaxStorageSize(sizeInBytes, std::move(completionHandler));
}

void TLTelemetry::setUserId(const String& userId) { sharedInstance()->setSdkUserId(userId); }

bool TLTelemetry::isDebuggerAttached() {
  static const bool attached = [] {
    // The kernel names the tracing process in the process status; 0 means none.
    std::ifstream status("/proc/self/status");
    std::string line;
    while (status && std::getline(status, line)) {
      if (line.rfind("TracerPid:", 0) != 0) continue;
      std::istringstream value(line.substr(10));
      long tracer = 0;
      if (value >> tracer) return tracer != 0;
      break;
    }
    platform::logLine("[TLCrashes] ERROR: Checking for a running debugger via sysctl() failed.");
    return false;
  }();
  return attached;
}

std::string TLTelemetry::sdkVersion() { return TLUtility::sdkVersion(); }

// ---- Configuration ----

void TLTelemetry::start(const String& configuration, const Services& services, bool fromApplication) {
  String appSecret = TLUtility::appSecretFrom(configuration);
  String token = TLUtility::transmissionTargetTokenFrom(configuration);
  bool configured = configureWithAppSecret(appSecret, token, fromApplication);
  if (configured) startServices(services, appSecret, token, fromApplication);
}

bool TLTelemetry::configureWithAppSecret(const String& appSecret, const String& transmissionTargetToken,
                                         bool fromApplication) {
  std::lock_guard lock(TLTelemetryLock());
  if (fromApplication && configuredFromApplication_) {
    TLLogAssert(kTLLogTag, "Telemetry SDK has already been configured.");
    TLLogAssert(kTLLogTag, "Telemetry SDK configuration {}failed.", "");
    return false;
  }
  if (!appSecret_) {
    appSecret_ = appSecret;
    // A new configuration begins without a session.
    TLSessionContext::sharedInstance()->setSessionId(std::nullopt);
  }
  if (!defaultTransmissionTargetToken_) defaultTransmissionTargetToken_ = transmissionTargetToken;
  TLUserIdContext::sharedInstance();
  initializeChannelGroup();
  applyPipelineEnabledState(isSdkEnabled());
  sdkConfigured_ = true;
  configuredFromApplication_ = configuredFromApplication_ || fromApplication;
  if (!TLLogger::isUserDefinedLogLevel() && TLUtility::currentAppEnvironment() == TLAppEnvironmentOther) {
    setLogLevel(TLLogLevelWarning);
  }
  TLLogInfo(kTLLogTag, "Telemetry SDK configured {}successfully.", fromApplication ? "" : "from a library ");
  return true;
}

void TLTelemetry::initializeChannelGroup() {
  std::lock_guard lock(TLTelemetryLock());
  std::string install = sdkInstallId();
  if (!eventCollectorChannelDelegate_) {
    std::optional<std::string> baseUrl = appSecret_ ? defaultEventCollectorUrl() : logUrl_;
    if (!baseUrl) baseUrl = defaultEventCollectorUrl();
    eventCollectorChannelDelegate_ = TLEventCollectorChannelDelegate::initWithInstallId(install, baseUrl);
  }
  if (!channelGroup_) {
    auto group = TLChannelGroupDefault::initWithInstallId(install, logUrl_.value_or(defaultLogUrl()));
    group->addDelegate(eventCollectorChannelDelegate_);
    channelGroup_ = group;
    if (requestedMaxStorageSizeInBytes_) {
      channelGroup_->setMaxStorageSize(*requestedMaxStorageSizeInBytes_, maxStorageSizeCompletionHandler_);
    }
  }
  // The group's sender holds no secret until one is given; a later configuration never replaces it.
  if (appSecret_) channelGroup_->setAppSecret(*appSecret_);
  if (!channelUnit_) {
    channelUnit_ = channelGroup_->addChannelUnitWithConfiguration(
        TLChannelUnitConfiguration::initDefaultConfigurationWithGroupId(kGroupId));
  }
}

// ---- Services ----

void TLTelemetry::startServices(const Services& services, const String& appSecret,
                                const String& transmissionTargetToken, bool fromApplication) {
  if (!sdkConfigured_) return;
  Services ordered = sortServices(services);
  if (TLLogger::isEnabled(TLLogLevelVerbose)) {
    std::vector<std::string> names;
    for (const auto& service : ordered) names.push_back(service.className());
    TLLogVerbose(kTLLogTag, "Start services {} from {}", joined(names, ", "),
                 fromApplication ? "an application" : "a library");
  }
  std::vector<std::string> started;
  for (const auto& service : ordered) {
    if (startService(service, appSecret, transmissionTargetToken, fromApplication)) {
      started.push_back(service.serviceName());
    }
  }
  TLAuthTokenContext::sharedInstance()->finishInitialize();
  if (!started.empty() && fromApplication) {
    sendStartServiceLog(started);
  } else if (started.empty()) {
    TLLogDebug(kTLLogTag, "No services have been started.");
  }
}

bool TLTelemetry::startService(const TLServiceClass& service, const String& appSecret,
                               const String& transmissionTargetToken, bool fromApplication) {
  std::lock_guard lock(TLTelemetryLock());
  if (!service.isService()) {
    TLLogError(kTLLogTag, "Cannot start service {}. Provided value is nil or invalid.",
               service.className().empty() ? "(null)" : service.className());
    return false;
  }
  if (!sdkConfigured_ || (fromApplication && !configuredFromApplication_)) {
    TLLogError(kTLLogTag, "Telemetry has not been configured so it couldn't start the service.");
    return false;
  }
  auto instance = service.sharedInstance();
  if (fromApplication && instance->isAvailable() && instance->isStartedFromApplication()) return false;
  if (instance->isAppSecretRequired() && (!appSecret || appSecret->empty())) {
    TLLogError(
        kTLLogTag,
        "Cannot start service {}. Telemetry was started without app secret, but the service requires it.",
        service.className());
    return false;
  }
  if (shouldDisable(service.serviceName())) {
    TLLogDebug(kTLLogTag, "Environment variable to disable service has been set; not starting service {}",
               service.className());
    return false;
  }
  if (instance->isAvailable()) {
    if (fromApplication) instance->updateConfigurationWithAppSecret(appSecret, transmissionTargetToken);
    return true;
  }
  if (std::find(services_.begin(), services_.end(), instance) == services_.end()) {
    services_.push_back(instance);
    serviceClasses_.push_back(service);
  }
  instance->startWithChannelGroup(channelGroup_, appSecret, transmissionTargetToken, fromApplication);
  if (service.isEnabled() && !isSdkEnabled()) {
    enabledStateUpdating_ = true;
    service.setEnabled(false);
    enabledStateUpdating_ = false;
  }
  return true;
}

TLTelemetry::Services TLTelemetry::sortServices(const Services& services) const {
  if (services.size() < 2) return services;
  std::vector<std::pair<std::int64_t, TLServiceClass>> keyed;
  for (const auto& service : services) {
    auto instance = service.sharedInstance();
    keyed.emplace_back(instance ? instance->initializationPriority() : 0, service);
  }
  // A stable order: equal priorities keep the order the caller gave.
  std::stable_sort(keyed.begin(), keyed.end(),
                   [](const auto& a, const auto& b) { return a.first > b.first; });
  Services ordered;
  for (auto& entry : keyed) ordered.push_back(std::move(entry.second));
  return ordered;
}

bool TLTelemetry::shouldDisable(const std::string& serviceName) const {
  const char* value = std::getenv(kTLDisableVariable);
  if (!value) return false;
  std::string list = value;
  std::size_t start = 0;
  while (true) {
    std::size_t comma = list.find(',', start);
    std::string element =
        trimmed(list.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    if (element == serviceName || element == kTLDisableAll) return true;
    if (comma == std::string::npos) return false;
    start = comma + 1;
  }
}

void TLTelemetry::sendStartServiceLog(const std::vector<std::string>& serviceNames) {
  std::shared_ptr<TLChannelUnitProtocol> unit;
  std::shared_ptr<TLStartServiceLog> log;
  {
    std::lock_guard lock(TLTelemetryLock());
    if (isSdkEnabled()) {
      log = TLStartServiceLog::init();
      log->setServices(serviceNames);
      unit = channelUnit_;
    } else {
      if (!startedServiceNames_) startedServiceNames_.emplace();
      startedServiceNames_->insert(startedServiceNames_->end(), serviceNames.begin(), serviceNames.end());
    }
  }
  if (unit && log) unit->enqueueItem(log, 1);
}

void TLTelemetry::setSdkCustomProperties(const CustomProperties& properties) {
  if (!properties || properties->empty()) {
    TLLogError(kTLLogTag, "Custom properties may not be null or empty");
    return;
  }
  sendCustomPropertiesLog(*properties);
}

void TLTelemetry::sendCustomPropertiesLog(const platform::ArchiveObject::Dictionary& properties) {
  auto log = TLCustomPropertiesLog::init();
  log->setProperties(properties);
  if (auto unit = channelUnit()) unit->enqueueItem(log, 1);
}

// ---- Enabled state ----

bool TLTelemetry::isSdkEnabled() const {
  return TLUserDefaults::shared()->flagForKey(kTLTelemetryIsEnabledKey).value_or(true);
}

void TLTelemetry::setSdkEnabled(bool isEnabled) {
  {
    std::lock_guard lock(TLTelemetryLock());
    if (!canBeUsed()) return;
    enabledStateUpdating_ = true;
    if (isEnabled != isSdkEnabled()) {
      TLUserDefaults::shared()->setObject(platform::PropertyList(isEnabled), kTLTelemetryIsEnabledKey);
      applyPipelineEnabledState(isEnabled);
    }
    for (const auto& service : serviceClasses_) service.setEnabled(isEnabled);
    enabledStateUpdating_ = false;
  }
  TLLogInfo(kTLLogTag, "Telemetry SDK {}.", isEnabled ? "enabled" : "disabled");
}

void TLTelemetry::applyPipelineEnabledState(bool isEnabled) {
  if (!isEnabled) {
    TLDeviceTracker::sharedInstance()->clearDevices();
    TLSessionContext::sharedInstance()->clearSessionHistoryAndKeepCurrentSession(false);
    TLUserIdContext::sharedInstance()->clearUserIdHistory();
  }
  std::optional<std::vector<std::string>> pending;
  {
    std::lock_guard lock(TLTelemetryLock());
    if (channelGroup_) channelGroup_->setEnabled(isEnabled, true);
    if (isEnabled && startedServiceNames_) {
      pending = std::move(startedServiceNames_);
      startedServiceNames_.reset();
    }
  }
  if (pending) sendStartServiceLog(*pending);
}

bool TLTelemetry::canBeUsed() {
  if (!sdkConfigured_) {
    TLLogError(kTLLogTag,
               "Telemetry SDK hasn't been configured. You need to call [TLTelemetry start:YOUR_APP_SECRET "
               "withServices:LIST_OF_SERVICES] first.");
    return false;
  }
  return true;
}

// ---- Install id, log URL, storage, user id ----

std::string TLTelemetry::sdkInstallId() {
  std::lock_guard lock(TLTelemetryLock());
  if (!installId_) {
    auto stored = TLUserDefaults::shared()->objectForKey(kTLInstallIdKey);
    const std::string* text = stored ? stored->asString() : nullptr;
    std::optional<std::array<std::uint8_t, 16>> bytes;
    if (text) bytes = platform::parseUUID(*text);
    if (bytes) {
      installId_ = platform::uuidString(*bytes);
    } else {
      installId_ = platform::makeUUIDString();
      TLUserDefaults::shared()->setObject(platform::PropertyList(*installId_), kTLInstallIdKey);
    }
  }
  return *installId_;
}

TLTelemetry::String TLTelemetry::logUrl() const {
  std::lock_guard lock(TLTelemetryLock());
  return logUrl_;
}

void TLTelemetry::setSdkLogUrl(const std::string& logUrl) {
  std::lock_guard lock(TLTelemetryLock());
  logUrl_ = logUrl;
  if (!channelGroup_) return;
  if (appSecret_) {
    TLLogInfo(kTLLogTag, "The log url of Telemetry endpoint was changed to {}", logUrl);
    channelGroup_->setLogUrl(logUrl);
  } else {
    TLLogInfo(kTLLogTag, "The log url of Event Collector endpoint was changed to {}", logUrl);
    if (eventCollectorChannelDelegate_) eventCollectorChannelDelegate_->setLogUrl(logUrl);
  }
}

void TLTelemetry::setSdkMaxStorageSize(std::int64_t sizeInBytes,
                                       std::function<void(bool)> completionHandler) {
  if (sizeInBytes < kTLMinAcceptableStorageSize) {
    if (completionHandler) completionHandler(false);
    TLLogWarning(kTLLogTag, "Cannot set storage size to {} bytes, minimum value is {} bytes", sizeInBytes,
                 kTLMinAcceptableStorageSize);
    return;
  }
  bool failed = false;
  {
    std::lock_guard lock(TLTelemetryLock());
    if (setMaxStorageSizeHasBeenCalled_) {
      TLLogWarning(kTLLogTag, "setMaxStorageSize:completionHandler: may only be called once per app launch");
      failed = true;
    } else {
      setMaxStorageSizeHasBeenCalled_ = true;
      if (configuredFromApplication_) {
        TLLogWarning(kTLLogTag, "Unable to set storage size after the application has configured Telemetry");
        failed = true;
      } else {
        requestedMaxStorageSizeInBytes_ = sizeInBytes;
        maxStorageSizeCompletionHandler_ = completionHandler;
        if (channelGroup_) channelGroup_->setMaxStorageSize(sizeInBytes, completionHandler);
      }
    }
  }
  if (failed && completionHandler) completionHandler(false);
}

void TLTelemetry::setSdkUserId(const String& userId) {
  String secret;
  String token;
  {
    std::lock_guard lock(TLTelemetryLock());
    if (!configuredFromApplication_) {
      TLLogError(kTLLogTag,
                 "Telemetry must be configured from application, libraries cannot call setUserId.");
      return;
    }
    if (!appSecret_ && !defaultTransmissionTargetToken_) {
      TLLogError(kTLLogTag, "Telemetry must be configured with a secret from application to call setUserId.");
      return;
    }
    secret = appSecret_;
    token = defaultTransmissionTargetToken_;
  }
  if (userId) {
    if (secret && !TLUserIdContext::isUserIdValidForTelemetry(userId)) return;
    if (token && !TLUserIdContext::isUserIdValidForEventCollector(userId)) return;
  }
  TLUserIdContext::sharedInstance()->setUserId(userId);
}

// ---- State ----

bool TLTelemetry::setMaxStorageSizeHasBeenCalled() const {
  std::lock_guard lock(TLTelemetryLock());
  return setMaxStorageSizeHasBeenCalled_;
}

TLTelemetry::String TLTelemetry::appSecret() const {
  std::lock_guard lock(TLTelemetryLock());
  return appSecret_;
}

TLTelemetry::String TLTelemetry::defaultTransmissionTargetToken() const {
  std::lock_guard lock(TLTelemetryLock());
  return defaultTransmissionTargetToken_;
}

std::shared_ptr<TLChannelGroupProtocol> TLTelemetry::channelGroup() const {
  std::lock_guard lock(TLTelemetryLock());
  return channelGroup_;
}

std::shared_ptr<TLChannelUnitProtocol> TLTelemetry::channelUnit() const {
  std::lock_guard lock(TLTelemetryLock());
  return channelUnit_;
}

std::shared_ptr<TLEventCollectorChannelDelegate> TLTelemetry::eventCollectorChannelDelegate() const {
  std::lock_guard lock(TLTelemetryLock());
  return eventCollectorChannelDelegate_;
}

std::vector<std::shared_ptr<TLServiceCommon>> TLTelemetry::services() const {
  std::lock_guard lock(TLTelemetryLock());
  return services_;
}

std::optional<std::vector<std::string>> TLTelemetry::startedServiceNames() const {
  std::lock_guard lock(TLTelemetryLock());
  return startedServiceNames_;
}

std::optional<std::int64_t> TLTelemetry::requestedMaxStorageSizeInBytes() const {
  std::lock_guard lock(TLTelemetryLock());
  return requestedMaxStorageSizeInBytes_;
}
