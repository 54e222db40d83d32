#pragma once

#include <cstdint>

#include "Telemetry/Internals/Model/TLWrapperSdk.h"

// The device, operating system, application and SDK that produced a log.
class TLDevice : public TLWrapperSdk {
 public:
  static constexpr const char* kClassName = "TLDevice";
  using Number = std::optional<std::int64_t>;

  TLDevice() = default;
  static std::shared_ptr<TLDevice> init() { return std::make_shared<TLDevice>(); }
  static std::shared_ptr<TLDevice> initWithCoder(platform::KeyedUnarchiver& coder);

  // The wrapper members, then each present field of the device.
  nlohmann::json serializeToDictionary() const override;
  // sdkName, sdkVersion, osName, osVersion, locale, timeZoneOffset, appVersion and appBuild
  // present.
  bool isValid() const override;
  // Another device, equal as a wrapper record and in all sixteen fields.
  bool isEqual(const TLWrapperSdk& other) const override;
  std::vector<std::string> classesForCoder() const override { return {kClassName, TLWrapperSdk::kClassName}; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;

  TL_PROPERTY(String, sdkName, setSdkName)
  TL_PROPERTY(String, sdkVersion, setSdkVersion)
  TL_PROPERTY(String, model, setModel)
  TL_PROPERTY(String, oemName, setOemName)
  TL_PROPERTY(String, osName, setOsName)
  TL_PROPERTY(String, osVersion, setOsVersion)
  TL_PROPERTY(String, osBuild, setOsBuild)
  TL_PROPERTY(Number, osApiLevel, setOsApiLevel)
  TL_PROPERTY(String, locale, setLocale)
  TL_PROPERTY(Number, timeZoneOffset, setTimeZoneOffset)
  TL_PROPERTY(String, screenSize, setScreenSize)
  TL_PROPERTY(String, appVersion, setAppVersion)
  TL_PROPERTY(String, carrierName, setCarrierName)
  TL_PROPERTY(String, carrierCountry, setCarrierCountry)
  TL_PROPERTY(String, appBuild, setAppBuild)
  TL_PROPERTY(String, appNamespace, setAppNamespace)

 protected:
  void decodeFields(platform::KeyedUnarchiver& coder);
};
