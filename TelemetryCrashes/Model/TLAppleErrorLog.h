#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Telemetry/Internals/Model/TLNoAutoAssignSessionIdLog.h"
#include "TelemetryCrashes/Model/TLAbstractErrorLog.h"
#include "TelemetryCrashes/Model/TLBinary.h"
#include "TelemetryCrashes/Model/TLException.h"
#include "TelemetryCrashes/Model/TLThread.h"

// The log sent for a crash: the error log's fields with the processor, the signal, the threads, the
// binaries and the crashed thread's registers.
class TLAppleErrorLog : public TLAbstractErrorLog, public TLNoAutoAssignSessionIdLog {
 public:
  static constexpr const char* kClassName = "TLAppleErrorLog";
  static constexpr const char* kType = "appleError";
  using Threads = std::optional<std::vector<std::shared_ptr<TLThread>>>;
  using Binaries = std::optional<std::vector<std::shared_ptr<TLBinary>>>;
  using Registers = std::optional<std::map<std::string, std::string>>;

  TLAppleErrorLog() { setType(kType); }
  static std::shared_ptr<TLAppleErrorLog> init() { return std::make_shared<TLAppleErrorLog>(); }
  static std::shared_ptr<TLAppleErrorLog> initWithCoder(platform::KeyedUnarchiver& coder);

  nlohmann::ordered_json serializeToOrderedJson() const override;
  // The error log valid, and the architecture id, application path and the three signal fields set.
  bool isValid() const override;
  bool isEqual(const TLAbstractLog& other) const override;
  std::vector<std::string> classesForCoder() const override {
    return {kClassName, TLAbstractErrorLog::kClassName, TLLogWithProperties::kClassName,
            TLAbstractLog::kClassName};
  }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;

  TL_PROPERTY(Number, primaryArchitectureId, setPrimaryArchitectureId)
  TL_PROPERTY(Number, architectureVariantId, setArchitectureVariantId)
  TL_PROPERTY(String, applicationPath, setApplicationPath)
  TL_PROPERTY(String, osExceptionType, setOsExceptionType)
  TL_PROPERTY(String, osExceptionCode, setOsExceptionCode)
  TL_PROPERTY(String, osExceptionAddress, setOsExceptionAddress)
  TL_PROPERTY(String, exceptionType, setExceptionType)
  TL_PROPERTY(String, exceptionReason, setExceptionReason)
  TL_PROPERTY(String, selectorRegisterValue, setSelectorRegisterValue)
  TL_PROPERTY(Threads, threads, setThreads)
  TL_PROPERTY(Binaries, binaries, setBinaries)
  TL_PROPERTY(Registers, registers, setRegisters)
  TL_PROPERTY(std::shared_ptr<TLException>, exception, setException)
};
