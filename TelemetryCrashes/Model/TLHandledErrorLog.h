#pragma once

#include <memory>
#include <optional>
#include <string>

#include "Telemetry/Internals/Model/TLLogWithProperties.h"
#include "TelemetryCrashes/Model/TLException.h"

// An error the application caught and reported itself.
class TLHandledErrorLog : public TLLogWithProperties {
 public:
  static constexpr const char* kClassName = "TLHandledErrorLog";
  static constexpr const char* kType = "handledError";

  TLHandledErrorLog() { setType(kType); }
  static std::shared_ptr<TLHandledErrorLog> init() { return std::make_shared<TLHandledErrorLog>(); }
  static std::shared_ptr<TLHandledErrorLog> initWithCoder(platform::KeyedUnarchiver& coder);

  nlohmann::json serializeToDictionary() const override { return serializeToOrderedJson(); }
  nlohmann::ordered_json serializeToOrderedJson() const override;
  // The base log valid, and id and exception set (the exception's own validity is not asked).
  bool isValid() const override;
  bool isEqual(const TLAbstractLog& other) const override;
  std::vector<std::string> classesForCoder() const override {
    return {kClassName, TLLogWithProperties::kClassName, TLAbstractLog::kClassName};
  }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;

  TL_PROPERTY(String, errorId, setErrorId)
  TL_PROPERTY(std::shared_ptr<TLException>, exception, setException)
};
