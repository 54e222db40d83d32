#pragma once

#include <map>

#include "Telemetry/Internals/Model/TLAbstractLog.h"

// A log with a flat dictionary of string properties.
class TLLogWithProperties : public TLAbstractLog {
 public:
  static constexpr const char* kClassName = "TLLogWithProperties";
  using Properties = std::optional<std::map<std::string, std::string>>;

  TLLogWithProperties() = default;
  static std::shared_ptr<TLLogWithProperties> init() { return std::make_shared<TLLogWithProperties>(); }
  static std::shared_ptr<TLLogWithProperties> initWithCoder(platform::KeyedUnarchiver& coder);

  // The base members, and "properties" when it holds at least one entry.
  nlohmann::json serializeToDictionary() const override;
  bool isEqual(const TLAbstractLog& other) const override;
  std::vector<std::string> classesForCoder() const override {
    return {kClassName, TLAbstractLog::kClassName};
  }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;

  TL_PROPERTY(Properties, properties, setProperties)

 protected:
  void decodeFields(platform::KeyedUnarchiver& coder);
};
