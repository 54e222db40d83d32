#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "Telemetry/Internals/Model/TLSerializableObject.h"
#include "platform/KeyedUnarchiver.h"

// A binary image loaded in the crashed process: its id (build id), address range, name and path.
class TLBinary : public TLSerializableObject, public TLModel {
 public:
  static constexpr const char* kClassName = "TLBinary";
  using String = std::optional<std::string>;

  static std::shared_ptr<TLBinary> init() { return std::make_shared<TLBinary>(); }
  static std::shared_ptr<TLBinary> initWithCoder(platform::KeyedUnarchiver& coder);

  nlohmann::json serializeToDictionary() const override { return serializeToOrderedJson(); }
  nlohmann::ordered_json serializeToOrderedJson() const;
  // Id, both addresses, name and path.
  bool isValid() const override;
  bool isEqual(const TLBinary& other) const;
  std::vector<std::string> classesForCoder() const override { return {kClassName}; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;

  TL_PROPERTY(String, binaryId, setBinaryId)
  TL_PROPERTY(String, startAddress, setStartAddress)
  TL_PROPERTY(String, endAddress, setEndAddress)
  TL_PROPERTY(String, name, setName)
  TL_PROPERTY(String, path, setPath)
  TL_PROPERTY(String, architecture, setArchitecture)
  TL_PROPERTY(std::optional<std::int64_t>, primaryArchitectureId, setPrimaryArchitectureId)
  TL_PROPERTY(std::optional<std::int64_t>, architectureVariantId, setArchitectureVariantId)
};
