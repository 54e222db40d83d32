#include "Telemetry/Internals/Model/TLWrapperSdk.h"

#include "platform/KeyedArchiver.h"

namespace {
constexpr const char* kWrapperSdkVersion = "wrapperSdkVersion";
constexpr const char* kWrapperSdkName = "wrapperSdkName";
constexpr const char* kWrapperRuntimeVersion = "wrapperRuntimeVersion";
constexpr const char* kLiveUpdateReleaseLabel = "liveUpdateReleaseLabel";
constexpr const char* kLiveUpdateDeploymentKey = "liveUpdateDeploymentKey";
constexpr const char* kLiveUpdatePackageHash = "liveUpdatePackageHash";

void put(nlohmann::json& dictionary, const char* key, const std::optional<std::string>& value) {
  if (value) dictionary[key] = *value;
}
}  // namespace

std::shared_ptr<TLWrapperSdk> TLWrapperSdk::initWithWrapperSdkVersion(
    String wrapperSdkVersion, String wrapperSdkName, String wrapperRuntimeVersion,
    String liveUpdateReleaseLabel, String liveUpdateDeploymentKey, String liveUpdatePackageHash) {
  auto sdk = init();
  sdk->wrapperSdkVersion_ = std::move(wrapperSdkVersion);
  sdk->wrapperSdkName_ = std::move(wrapperSdkName);
  sdk->wrapperRuntimeVersion_ = std::move(wrapperRuntimeVersion);
  sdk->liveUpdateReleaseLabel_ = std::move(liveUpdateReleaseLabel);
  sdk->liveUpdateDeploymentKey_ = std::move(liveUpdateDeploymentKey);
  sdk->liveUpdatePackageHash_ = std::move(liveUpdatePackageHash);
  return sdk;
}

nlohmann::json TLWrapperSdk::serializeToDictionary() const {
  auto dictionary = nlohmann::json::object();
  put(dictionary, kWrapperSdkVersion, wrapperSdkVersion_);
  put(dictionary, kWrapperSdkName, wrapperSdkName_);
  put(dictionary, kWrapperRuntimeVersion, wrapperRuntimeVersion_);
  put(dictionary, kLiveUpdateReleaseLabel, liveUpdateReleaseLabel_);
  put(dictionary, kLiveUpdateDeploymentKey, liveUpdateDeploymentKey_);
  put(dictionary, kLiveUpdatePackageHash, liveUpdatePackageHash_);
  return dictionary;
}

bool TLWrapperSdk::isEqual(const TLWrapperSdk& other) const {
  return wrapperSdkVersion_ == other.wrapperSdkVersion_ && wrapperSdkName_ == other.wrapperSdkName_ &&
         wrapperRuntimeVersion_ == other.wrapperRuntimeVersion_ &&
         liveUpdateReleaseLabel_ == other.liveUpdateReleaseLabel_ &&
         liveUpdateDeploymentKey_ == other.liveUpdateDeploymentKey_ &&
         liveUpdatePackageHash_ == other.liveUpdatePackageHash_;
}

void TLWrapperSdk::encodeWithCoder(platform::KeyedArchiver& coder) const {
  coder.encodeObject(wrapperSdkVersion_, kWrapperSdkVersion);
  coder.encodeObject(wrapperSdkName_, kWrapperSdkName);
  coder.encodeObject(wrapperRuntimeVersion_, kWrapperRuntimeVersion);
  coder.encodeObject(liveUpdateReleaseLabel_, kLiveUpdateReleaseLabel);
  coder.encodeObject(liveUpdateDeploymentKey_, kLiveUpdateDeploymentKey);
  coder.encodeObject(liveUpdatePackageHash_, kLiveUpdatePackageHash);
}

void TLWrapperSdk::decodeFields(platform::KeyedUnarchiver& coder) {
  wrapperSdkVersion_ = coder.decodeStringForKey(kWrapperSdkVersion);
  wrapperSdkName_ = coder.decodeStringForKey(kWrapperSdkName);
  wrapperRuntimeVersion_ = coder.decodeStringForKey(kWrapperRuntimeVersion);
  liveUpdateReleaseLabel_ = coder.decodeStringForKey(kLiveUpdateReleaseLabel);
  liveUpdateDeploymentKey_ = coder.decodeStringForKey(kLiveUpdateDeploymentKey);
  liveUpdatePackageHash_ = coder.decodeStringForKey(kLiveUpdatePackageHash);
}

std::shared_ptr<TLWrapperSdk> TLWrapperSdk::initWithCoder(platform::KeyedUnarchiver& coder) {
  auto sdk = init();
  sdk->decodeFields(coder);
  return sdk;
}
