#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Telemetry/Internals/Model/TLSerializableObject.h"
#include "TelemetryCrashes/Model/TLStackFrame.h"
#include "platform/KeyedUnarchiver.h"

// An exception as a crash or handled-error log carries it: type, message, frames and inner
// exceptions. Its JSON members keep a fixed order: type, message, stackTrace, wrapperSdkName, frames,
// innerExceptions.
class TLException : public TLSerializableObject, public TLModel {
 public:
  static constexpr const char* kClassName = "TLException";
  using String = std::optional<std::string>;
  using Frames = std::optional<std::vector<std::shared_ptr<TLStackFrame>>>;
  using Exceptions = std::optional<std::vector<std::shared_ptr<TLException>>>;

  static std::shared_ptr<TLException> init() { return std::make_shared<TLException>(); }
  static std::shared_ptr<TLException> initWithCoder(platform::KeyedUnarchiver& coder);

  nlohmann::json serializeToDictionary() const override { return serializeToOrderedJson(); }
  nlohmann::ordered_json serializeToOrderedJson() const;
  // A type and at least one frame.
  bool isValid() const override;
  bool isEqual(const TLException& other) const;
  std::vector<std::string> classesForCoder() const override { return {kClassName}; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;

  TL_PROPERTY(String, type, setType)
  TL_PROPERTY(String, message, setMessage)
  TL_PROPERTY(String, stackTrace, setStackTrace)
  TL_PROPERTY(Frames, frames, setFrames)
  TL_PROPERTY(Exceptions, innerExceptions, setInnerExceptions)
  TL_PROPERTY(String, wrapperSdkName, setWrapperSdkName)
};
