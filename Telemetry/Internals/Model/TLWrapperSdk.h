#pragma once

#include <memory>
#include <optional>
#include <string>

#include "Telemetry/Internals/Model/TLSerializableObject.h"
#include "platform/KeyedUnarchiver.h"

// A wrapper SDK (a layer for another language on top of this SDK) and a live-update release.
class TLWrapperSdk : public TLSerializableObject, public TLModel {
 public:
  static constexpr const char* kClassName = "TLWrapperSdk";
  using String = std::optional<std::string>;

  TLWrapperSdk() = default;
  static std::shared_ptr<TLWrapperSdk> init() { return std::make_shared<TLWrapperSdk>(); }
  static std::shared_ptr<TLWrapperSdk> initWithWrapperSdkVersion(
      String wrapperSdkVersion, String wrapperSdkName, String wrapperRuntimeVersion,
      String liveUpdateReleaseLabel, String liveUpdateDeploymentKey, String liveUpdatePackageHash);
  static std::shared_ptr<TLWrapperSdk> initWithCoder(platform::KeyedUnarchiver& coder);

  nlohmann::json serializeToDictionary() const override;
  bool isValid() const override { return true; }
  // Same kind (or a subclass) and the six fields equal.
  virtual bool isEqual(const TLWrapperSdk& other) const;
  std::vector<std::string> classesForCoder() const override { return {kClassName}; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;

 protected:
  void decodeFields(platform::KeyedUnarchiver& coder);

  TL_PROPERTY(String, wrapperSdkVersion, setWrapperSdkVersion)
  TL_PROPERTY(String, wrapperSdkName, setWrapperSdkName)
  TL_PROPERTY(String, wrapperRuntimeVersion, setWrapperRuntimeVersion)
  TL_PROPERTY(String, liveUpdateReleaseLabel, setLiveUpdateReleaseLabel)
  TL_PROPERTY(String, liveUpdateDeploymentKey, setLiveUpdateDeploymentKey)
  TL_PROPERTY(String, liveUpdatePackageHash, setLiveUpdatePackageHash)
};
