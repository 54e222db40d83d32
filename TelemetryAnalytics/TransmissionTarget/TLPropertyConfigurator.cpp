#include "TelemetryAnalytics/TransmissionTarget/TLPropertyConfigurator.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <array>
#include <fstream>

#include "Telemetry/Internals/Context/TLUserIdContext.h"
#include "Telemetry/Internals/Model/TLEventSchemaLog.h"
#include "Telemetry/Internals/Util/TLLogger.h"
#include "Telemetry/TLService.h"
#include "TelemetryAnalytics/TLAnalyticsConstants.h"
#include "TelemetryAnalytics/TransmissionTarget/TLAnalyticsTransmissionTarget.h"
#include "platform/UUID.h"

namespace {
// The key under which the machine id is hashed: the id a device reports cannot be turned back into
// the machine id, and other programs hashing the same id under their own keys get other values.
constexpr std::string_view kDeviceIdKey = "com.zorvik.quorvane.telemetry.device-id.v1";
}  // namespace

TLPropertyConfigurator::TLPropertyConfigurator(const std::shared_ptr<TLAnalyticsTransmissionTarget>& target)
    : transmissionTarget_(target) {}

#define TL_CONFIGURATOR_STRING(getter, setter, member)                    \
  void TLPropertyConfigurator::setter(const String& value) {              \
    std::lock_guard lock(mutex_);                                         \
    member = value;                                                       \
  }                                                                       \
  TLPropertyConfigurator::String TLPropertyConfigurator::getter() const { \
    std::lock_guard lock(mutex_);                                         \
    return member;                                                        \
  }

TL_CONFIGURATOR_STRING(appVersion, setAppVersion, appVersion_)
TL_CONFIGURATOR_STRING(appName, setAppName, appName_)
TL_CONFIGURATOR_STRING(appLocale, setAppLocale, appLocale_)
#undef TL_CONFIGURATOR_STRING

void TLPropertyConfigurator::setUserId(const String& value) {
  if (!TLUserIdContext::isUserIdValidForEventCollector(value)) return;
  std::lock_guard lock(mutex_);
  userId_ = TLUserIdContext::prefixedUserIdFromUserId(value);
}

TLPropertyConfigurator::String TLPropertyConfigurator::userId() const {
  std::lock_guard lock(mutex_);
  return userId_;
}

TLPropertyConfigurator::String TLPropertyConfigurator::deviceId() const {
  std::lock_guard lock(mutex_);
  return deviceId_;
}

void TLPropertyConfigurator::setEventPropertyString(const String& value, const TLEventProperties::Key& key) {
  std::lock_guard lock(TLTelemetryLock());
  eventProperties_->setString(value, key);
}

void TLPropertyConfigurator::setEventPropertyDouble(double value, const TLEventProperties::Key& key) {
  std::lock_guard lock(TLTelemetryLock());
  eventProperties_->setDouble(value, key);
}

void TLPropertyConfigurator::setEventPropertyInt64(std::int64_t value, const TLEventProperties::Key& key) {
  std::lock_guard lock(TLTelemetryLock());
  eventProperties_->setInt64(value, key);
}

void TLPropertyConfigurator::setEventPropertyBool(bool value, const TLEventProperties::Key& key) {
  std::lock_guard lock(TLTelemetryLock());
  eventProperties_->setBool(value, key);
}

void TLPropertyConfigurator::setEventPropertyDate(const std::optional<platform::Date>& value,
                                                  const TLEventProperties::Key& key) {
  std::lock_guard lock(TLTelemetryLock());
  eventProperties_->setDate(value, key);
}

void TLPropertyConfigurator::removeEventPropertyForKey(const TLEventProperties::Key& key) {
  std::lock_guard lock(TLTelemetryLock());
  if (!key) {
    TLLogError(kTLAnalyticsLogTag, "Event property key to remove cannot be nil.");
    return;
  }
  eventProperties_->removePropertyForKey(*key);
}

void TLPropertyConfigurator::mergeTypedPropertiesWith(TLEventProperties& properties) const {
  std::lock_guard lock(TLTelemetryLock());
  for (const auto& [key, property] : eventProperties_->entries()) {
    if (!properties.hasKey(key)) properties.setProperty(key, property);
  }
}

void TLPropertyConfigurator::collectDeviceId() {
  auto id = getDeviceIdentifier();
  std::lock_guard lock(mutex_);
  deviceId_ = std::move(id);
}

TLPropertyConfigurator::String TLPropertyConfigurator::getDeviceIdentifier(
    const std::filesystem::path& machineIdPath) {
  std::ifstream file(machineIdPath);
  std::string machineId;
  if (!file || !std::getline(file, machineId)) return std::nullopt;
  while (!machineId.empty() && (machineId.back() == ' ' || machineId.back() == '\r')) machineId.pop_back();
  if (machineId.empty()) return std::nullopt;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!HMAC(EVP_sha256(), kDeviceIdKey.data(), static_cast<int>(kDeviceIdKey.size()),
            reinterpret_cast<const unsigned char*>(machineId.data()), machineId.size(), digest, &length) ||
      length < 16) {
    return std::nullopt;
  }
  std::array<std::uint8_t, 16> bytes;
  std::copy(digest, digest + 16, bytes.begin());
  // A name-based UUID: version 8 (derived by our own rule), RFC 4122 variant.
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x80);
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);
  return "u:" + platform::uuidString(bytes);
}

TLPropertyConfigurator::String TLPropertyConfigurator::inherited(String (TLPropertyConfigurator::*getter)()
                                                                     const) const {
  auto target = transmissionTarget_.lock();
  for (const TLAnalyticsTransmissionTarget* level = target.get(); level;
       level = level->parentTarget().get()) {
    if (auto value = (level->propertyConfigurator().get()->*getter)()) return value;
  }
  return std::nullopt;
}

void TLPropertyConfigurator::channelPrepareLog(TLChannelProtocol&, const std::shared_ptr<TLLog>& log) {
  auto target = transmissionTarget_.lock();
  auto schemaLog = std::dynamic_pointer_cast<TLEventSchemaLog>(log);
  if (!target || !schemaLog || !target->isEnabled() || schemaLog->tag() != std::shared_ptr<void>(target))
    return;
  if (!schemaLog->ext()) schemaLog->setExt(TLCSExtensions::init());
  auto& ext = *schemaLog->ext();
  if (!ext.appExt()) ext.setAppExt(TLAppExtension::init());
  if (auto value = inherited(&TLPropertyConfigurator::appVersion)) ext.appExt()->setVer(value);
  if (auto value = inherited(&TLPropertyConfigurator::appName)) ext.appExt()->setName(value);
  if (auto value = inherited(&TLPropertyConfigurator::appLocale)) ext.appExt()->setLocale(value);
  if (!ext.userExt()) ext.setUserExt(TLUserExtension::init());
  if (auto value = inherited(&TLPropertyConfigurator::userId)) ext.userExt()->setLocalId(value);
  if (!ext.deviceExt()) ext.setDeviceExt(TLDeviceExtension::init());
  ext.deviceExt()->setLocalId(deviceId());
}
