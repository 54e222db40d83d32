#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "Telemetry/Internals/Model/TLSerializableObject.h"
#include "platform/KeyedUnarchiver.h"

// One frame of a stack: its address and code text, and the source details a wrapper SDK may add.
class TLStackFrame : public TLSerializableObject {
 public:
  static constexpr const char* kClassName = "TLStackFrame";
  using String = std::optional<std::string>;

  static std::shared_ptr<TLStackFrame> init() { return std::make_shared<TLStackFrame>(); }
  static std::shared_ptr<TLStackFrame> initWithCoder(platform::KeyedUnarchiver& coder);

  nlohmann::json serializeToDictionary() const override { return serializeToOrderedJson(); }
  nlohmann::ordered_json serializeToOrderedJson() const;
  bool isEqual(const TLStackFrame& other) const;
  std::vector<std::string> classesForCoder() const override { return {kClassName}; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;

  TL_PROPERTY(String, address, setAddress)
  TL_PROPERTY(String, code, setCode)
  TL_PROPERTY(String, className, setClassName)
  TL_PROPERTY(String, methodName, setMethodName)
  TL_PROPERTY(std::optional<std::int64_t>, lineNumber, setLineNumber)
  TL_PROPERTY(String, fileName, setFileName)
};
