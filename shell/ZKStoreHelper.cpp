#include "shell/ZKStoreHelper.h"

#include <fmt/format.h>

#include "Telemetry/TLTelemetry.h"
#include "TelemetryAnalytics/TLAnalytics.h"
#include "platform/Log.h"
#include "platform/SettingsStore.h"

#if __has_include("TelemetryCrashes/TLCrashes.h")
#include "TelemetryCrashes/TLCrashes.h"
#define QV_HAS_TLCRASHES 1
#endif

std::shared_ptr<ZKStoreHelper> ZKStoreHelper::sharedHelper() {
  static const std::shared_ptr<ZKStoreHelper> helper = std::make_shared<ZKStoreHelper>();
  return helper;
}

std::optional<std::string> ZKStoreHelper::formattedUUIDWithString(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  if (text->size() == 32) {
    return fmt::format("{}-{}-{}-{}-{}", text->substr(0, 8), text->substr(8, 4), text->substr(12, 4),
                       text->substr(16, 4), text->substr(20, 12));
  }
  if (text->find('-') != std::string::npos) return text;
  return std::nullopt;
}

std::optional<int> ZKStoreHelper::crashConfirmationForResponse(int modalResponse) {
  switch (modalResponse) {
    case kZKAlertFirstButtonReturn:
      return 2;  // "Always Send"
    case kZKAlertSecondButtonReturn:
      return 1;  // "Send"
    case kZKAlertThirdButtonReturn:
      return 0;  // "Don't Send"
    default:
      return std::nullopt;
  }
}

bool ZKStoreHelper::updateChecksAreAvailable() { return QVUpdateFeedHost[0] != '\0'; }

std::string ZKStoreHelper::defaultFeedURL() {
  if (!updateChecksAreAvailable()) return {};
  const auto identifier = formattedUUIDWithString(std::string(kQVTelemetryAppSecret));
  return std::string(QVUpdateFeedHost) + fmt::format(kZKUpdateFeedPathFormat, identifier.value_or(""));
}

void ZKStoreHelper::configureWithAppSecret(const std::optional<std::string>& secret) {
  auto identifier = formattedUUIDWithString(secret);
  configureTelemetryWithIdentifier(identifier);
  if (updateChecksAreAvailable())
    configureUpdaterWithURL(std::string(QVUpdateFeedHost) +
                            fmt::format(kZKUpdateFeedPathFormat, identifier.value_or("")));
  std::lock_guard lock(mutex_);
  configured_ = true;
}

void ZKStoreHelper::configureTelemetryWithIdentifier(const std::optional<std::string>& identifier) {
  platform::SettingsStore::standardUserDefaults()->registerDefaults({{kZKCrashOnExceptionsKey, true}});
  if (TLTelemetry::defaultLogUrl().empty() && !TLTelemetry::sharedInstance()->logUrl()) {
    platform::log("Telemetry is not started: this build has no telemetry ingestion address.");
    return;
  }
  TLTelemetry::Services services = {TLAnalytics::serviceClass()};
#ifdef QV_HAS_TLCRASHES
  services.push_back(TLServiceClass::of<TLCrashes>());
#endif
  TLTelemetry::start(identifier, services);
#ifdef QV_HAS_TLCRASHES
  TLCrashes::setUserConfirmationHandler(
      [](const auto&) { return ZKStoreHelper::sharedHelper()->promptUserForCrashHandlingConfirmation(); });
#endif
  std::lock_guard lock(mutex_);
  telemetryStarted_ = true;
}

void ZKStoreHelper::configureUpdaterWithURL(const std::string& address) {
  platform::SettingsStore::standardUserDefaults()->registerDefaults({{kZKUpdateFeedURLKey, address}});
  std::lock_guard lock(mutex_);
  feedURL_ = address;
}

bool ZKStoreHelper::promptUserForCrashHandlingConfirmation() {
  ConsentAlert alert;
  ConfirmationSink sink;
  {
    std::lock_guard lock(mutex_);
    alert = alert_;
    sink = sink_;
  }
#ifdef QV_HAS_TLCRASHES
  if (!sink) sink = [](int value) { TLCrashes::notifyWithUserConfirmation(value); };
#endif
  if (alert) {
    // Any other answer leaves the reports waiting.
    if (auto value = crashConfirmationForResponse(alert()); value && sink) sink(*value);
  }
  return true;
}

void ZKStoreHelper::setCrashConsentAlert(ConsentAlert alert) {
  std::lock_guard lock(mutex_);
  alert_ = std::move(alert);
}

void ZKStoreHelper::setConfirmationSink(ConfirmationSink sink) {
  std::lock_guard lock(mutex_);
  sink_ = std::move(sink);
}

bool ZKStoreHelper::isConfigured() const {
  std::lock_guard lock(mutex_);
  return configured_;
}

std::optional<std::string> ZKStoreHelper::feedURL() const {
  std::lock_guard lock(mutex_);
  return feedURL_;
}

bool ZKStoreHelper::telemetryStarted() const {
  std::lock_guard lock(mutex_);
  return telemetryStarted_;
}
