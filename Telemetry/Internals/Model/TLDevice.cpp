#include "Telemetry/Internals/Model/TLDevice.h"

#include "platform/KeyedArchiver.h"

namespace {

constexpr const char* kSdkName = "sdkName";
constexpr const char* kSdkVersion = "sdkVersion";
constexpr const char* kModel = "model";
constexpr const char* kOemName = "oemName";
constexpr const char* kOsName = "osName";
constexpr const char* kOsVersion = "osVersion";
constexpr const char* kOsBuild = "osBuild";
constexpr const char* kOsApiLevel = "osApiLevel";
constexpr const char* kLocale = "locale";
constexpr const char* kTimeZoneOffset = "timeZoneOffset";
constexpr const char* kScreenSize = "screenSize";
constexpr const char* kAppVersion = "appVersion";
constexpr const char* kCarrierName = "carrierName";
constexpr const char* kCarrierCountry = "carrierCountry";
constexpr const char* kAppBuild = "appBuild";
constexpr const char* kAppNamespace = "appNamespace";

template <typename T>
void put(nlohmann::json& dictionary, const char* key, const std::optional<T>& value) {
  if (value) dictionary[key] = *value;
}

// A number stored as an object; a real is truncated, as number objects convert.
std::optional<std::int64_t> decodeNumber(platform::KeyedUnarchiver& coder, const char* key) {
  auto number = coder.decodeNumberForKey(key);
  if (!number) return std::nullopt;
  return number->integerValue();
}

}  // namespace

std::shared_ptr<TLDevice> TLDevice::initWithCoder(platform::KeyedUnarchiver& coder) {
  auto device = init();
  device->decodeFields(coder);
  return device;
}

nlohmann::json TLDevice::serializeToDictionary() const {
  auto dictionary = TLWrapperSdk::serializeToDictionary();
  put(dictionary, kSdkName, sdkName_);
  put(dictionary, kSdkVersion, sdkVersion_);
  put(dictionary, kModel, model_);
  put(dictionary, kOemName, oemName_);
  put(dictionary, kOsName, osName_);
  put(dictionary, kOsVersion, osVersion_);
  put(dictionary, kOsBuild, osBuild_);
  put(dictionary, kOsApiLevel, osApiLevel_);
  put(dictionary, kLocale, locale_);
  put(dictionary, kTimeZoneOffset, timeZoneOffset_);
  put(dictionary, kScreenSize, screenSize_);
  put(dictionary, kAppVersion, appVersion_);
  put(dictionary, kCarrierName, carrierName_);
  put(dictionary, kCarrierCountry, carrierCountry_);
  put(dictionary, kAppBuild, appBuild_);
  put(dictionary, kAppNamespace, appNamespace_);
  return dictionary;
}

bool TLDevice::isValid() const {
  return TLWrapperSdk::isValid() && sdkName_ && sdkVersion_ && osName_ && osVersion_ && locale_ &&
         timeZoneOffset_ && appVersion_ && appBuild_;
}

bool TLDevice::isEqual(const TLWrapperSdk& other) const {
  auto device = dynamic_cast<const TLDevice*>(&other);
  if (!device || !TLWrapperSdk::isEqual(other)) return false;
  return sdkName_ == device->sdkName_ && sdkVersion_ == device->sdkVersion_ && model_ == device->model_ &&
         oemName_ == device->oemName_ && osName_ == device->osName_ && osVersion_ == device->osVersion_ &&
         osBuild_ == device->osBuild_ && osApiLevel_ == device->osApiLevel_ && locale_ == device->locale_ &&
         timeZoneOffset_ == device->timeZoneOffset_ && screenSize_ == device->screenSize_ &&
         appVersion_ == device->appVersion_ && carrierName_ == device->carrierName_ &&
         carrierCountry_ == device->carrierCountry_ && appBuild_ == device->appBuild_ &&
         appNamespace_ == device->appNamespace_;
}

void TLDevice::encodeWithCoder(platform::KeyedArchiver& coder) const {
  TLWrapperSdk::encodeWithCoder(coder);
  coder.encodeObject(sdkName_, kSdkName);
  coder.encodeObject(sdkVersion_, kSdkVersion);
  coder.encodeObject(model_, kModel);
  coder.encodeObject(oemName_, kOemName);
  coder.encodeObject(osName_, kOsName);
  coder.encodeObject(osVersion_, kOsVersion);
  coder.encodeObject(osBuild_, kOsBuild);
  coder.encodeObject(osApiLevel_, kOsApiLevel);
  coder.encodeObject(locale_, kLocale);
  coder.encodeObject(timeZoneOffset_, kTimeZoneOffset);
  coder.encodeObject(screenSize_, kScreenSize);
  coder.encodeObject(appVersion_, kAppVersion);
  coder.encodeObject(carrierName_, kCarrierName);
  coder.encodeObject(carrierCountry_, kCarrierCountry);
  coder.encodeObject(appBuild_, kAppBuild);
  coder.encodeObject(appNamespace_, kAppNamespace);
}

void TLDevice::decodeFields(platform::KeyedUnarchiver& coder) {
  TLWrapperSdk::decodeFields(coder);
  sdkName_ = coder.decodeStringForKey(kSdkName);
  sdkVersion_ = coder.decodeStringForKey(kSdkVersion);
  model_ = coder.decodeStringForKey(kModel);
  oemName_ = coder.decodeStringForKey(kOemName);
  osName_ = coder.decodeStringForKey(kOsName);
  osVersion_ = coder.decodeStringForKey(kOsVersion);
  osBuild_ = coder.decodeStringForKey(kOsBuild);
  osApiLevel_ = decodeNumber(coder, kOsApiLevel);
  locale_ = coder.decodeStringForKey(kLocale);
  timeZoneOffset_ = decodeNumber(coder, kTimeZoneOffset);
  screenSize_ = coder.decodeStringForKey(kScreenSize);
  appVersion_ = coder.decodeStringForKey(kAppVersion);
  carrierName_ = coder.decodeStringForKey(kCarrierName);
  carrierCountry_ = coder.decodeStringForKey(kCarrierCountry);
  appBuild_ = coder.decodeStringForKey(kAppBuild);
  appNamespace_ = coder.decodeStringForKey(kAppNamespace);
}
