#pragma once

#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>

#include "Telemetry/Internals/Model/TLLockedJsonObject.h"
#include "Telemetry/Internals/Model/TLOrderedDictionary.h"
#include "Telemetry/Internals/Model/TLSerializableObject.h"
#include "platform/KeyedUnarchiver.h"

// The payload of an Event Schema log ("data"): a dictionary of properties, archived as the
// object's one unkeyed value.
class TLCSData : public TLSerializableObject, public TLModel {
 public:
  static constexpr const char* kClassName = "TLCSData";
  static std::shared_ptr<TLCSData> init() { return std::make_shared<TLCSData>(); }
  static std::shared_ptr<TLCSData> initWithCoder(platform::KeyedUnarchiver& coder);

  // Nothing without properties; else "baseType" first and "baseData" next when present, then the
  // other properties in the dictionary's order.
  std::optional<TLOrderedDictionary> serializeToOrderedDictionary() const;
  // The same members as a plain JSON object (null without properties).
  nlohmann::json serializeToDictionary() const override;
  bool isValid() const override { return true; }
  bool isEqual(const TLCSData& other) const;
  std::vector<std::string> classesForCoder() const override { return {kClassName}; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;

  // A JSON object or nothing (anything else counts as nothing); read and written under a lock.
  std::optional<nlohmann::json> properties() const { return properties_.get(); }
  void setProperties(std::optional<nlohmann::json> properties) { properties_.set(std::move(properties)); }

 private:
  TLLockedJsonObject properties_;
};
