#pragma once

#include "Telemetry/Internals/Model/TLAbstractLog.h"

// Application-defined custom properties. A value is the null marker (clear the property), a
// boolean, another number, a date or a string; each is written with its type name.
class TLCustomPropertiesLog : public TLAbstractLog {
 public:
  static constexpr const char* kClassName = "TLCustomPropertiesLog";
  static constexpr const char* kType = "customProperties";
  using Properties = std::optional<platform::ArchiveObject::Dictionary>;

  TLCustomPropertiesLog() { setType(kType); }
  static std::shared_ptr<TLCustomPropertiesLog> init() { return std::make_shared<TLCustomPropertiesLog>(); }
  static std::shared_ptr<TLCustomPropertiesLog> initWithCoder(platform::KeyedUnarchiver& coder);

  // The JSON object of one value without its name; nullopt for a value of another kind.
  static std::optional<nlohmann::json> serializeProperty(const platform::ArchiveObject& value);

  // The base members and "properties": an array of {"name", "type", "value"} objects.
  nlohmann::json serializeToDictionary() const override;
  // The base rule, and at least one property.
  bool isValid() const override;
  bool isEqual(const TLAbstractLog& other) const override;
  std::vector<std::string> classesForCoder() const override {
    return {kClassName, TLAbstractLog::kClassName};
  }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;

  TL_PROPERTY(Properties, properties, setProperties)
};
