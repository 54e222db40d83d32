#pragma once

#include "Telemetry/Internals/Model/TLCSExtensionParts.h"

// The context of an Event Schema log ("ext"): nine optional parts.
class TLCSExtensions : public TLSerializableObject, public TLModel {
 public:
  static constexpr const char* kClassName = "TLCSExtensions";
  static std::shared_ptr<TLCSExtensions> init() { return std::make_shared<TLCSExtensions>(); }
  static std::shared_ptr<TLCSExtensions> initWithCoder(platform::KeyedUnarchiver& coder);

  // Always an object (possibly empty): each present part that has something to write, under
  // "metadata", "protocol", "user", "device", "os", "app", "net", "sdk" or "loc".
  nlohmann::json serializeToDictionary() const override;
  // Every present part valid.
  bool isValid() const override;
  bool isEqual(const TLCSExtensions& other) const;
  std::vector<std::string> classesForCoder() const override { return {kClassName}; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;

  TL_PROPERTY(std::shared_ptr<TLMetadataExtension>, metadataExt, setMetadataExt)
  TL_PROPERTY(std::shared_ptr<TLProtocolExtension>, protocolExt, setProtocolExt)
  TL_PROPERTY(std::shared_ptr<TLUserExtension>, userExt, setUserExt)
  TL_PROPERTY(std::shared_ptr<TLDeviceExtension>, deviceExt, setDeviceExt)
  TL_PROPERTY(std::shared_ptr<TLOSExtension>, osExt, setOsExt)
  TL_PROPERTY(std::shared_ptr<TLAppExtension>, appExt, setAppExt)
  TL_PROPERTY(std::shared_ptr<TLNetExtension>, netExt, setNetExt)
  TL_PROPERTY(std::shared_ptr<TLSDKExtension>, sdkExt, setSdkExt)
  TL_PROPERTY(std::shared_ptr<TLLocExtension>, locExt, setLocExt)
};
