#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "Telemetry/Internals/Model/TLLogWithProperties.h"

// What every error log of a process carries: the error's id, the process and thread it happened in,
// whether it was fatal, the launch time and the architecture.
class TLAbstractErrorLog : public TLLogWithProperties {
 public:
  static constexpr const char* kClassName = "TLAbstractErrorLog";
  using Number = std::optional<std::int64_t>;

  static std::shared_ptr<TLAbstractErrorLog> init() { return std::make_shared<TLAbstractErrorLog>(); }
  static std::shared_ptr<TLAbstractErrorLog> initWithCoder(platform::KeyedUnarchiver& coder);

  nlohmann::json serializeToDictionary() const override { return serializeToOrderedJson(); }
  // The base members, then the error's members in their fixed order ("fatal" always).
  nlohmann::ordered_json serializeToOrderedJson() const override;
  // The base log valid, and id, process id and process name set.
  bool isValid() const override;
  bool isEqual(const TLAbstractLog& other) const override;
  std::vector<std::string> classesForCoder() const override {
    return {kClassName, TLLogWithProperties::kClassName, TLAbstractLog::kClassName};
  }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;

  bool isFatal() const { return fatal_; }
  void setFatal(bool fatal) { fatal_ = fatal; }

  TL_PROPERTY(String, errorId, setErrorId)
  TL_PROPERTY(Number, processId, setProcessId)
  TL_PROPERTY(String, processName, setProcessName)
  TL_PROPERTY(Number, parentProcessId, setParentProcessId)
  TL_PROPERTY(String, parentProcessName, setParentProcessName)
  TL_PROPERTY(Number, errorThreadId, setErrorThreadId)
  TL_PROPERTY(String, errorThreadName, setErrorThreadName)
  TL_PROPERTY(std::optional<platform::Date>, appLaunchTimestamp, setAppLaunchTimestamp)
  TL_PROPERTY(String, architecture, setArchitecture)

 private:
  bool fatal_ = false;

 protected:
  void decodeFields(platform::KeyedUnarchiver& coder);
};
