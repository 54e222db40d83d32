#pragma once

#include <vector>

#include "Telemetry/Internals/Model/TLAbstractLog.h"
#include "Telemetry/Internals/Model/TLNoAutoAssignSessionIdLog.h"

// Tells the service which services the application started, in start order.
class TLStartServiceLog : public TLAbstractLog, public TLNoAutoAssignSessionIdLog {
 public:
  static constexpr const char* kClassName = "TLStartServiceLog";
  static constexpr const char* kType = "startService";
  using Services = std::optional<std::vector<std::string>>;

  TLStartServiceLog() { setType(kType); }
  static std::shared_ptr<TLStartServiceLog> init() { return std::make_shared<TLStartServiceLog>(); }
  static std::shared_ptr<TLStartServiceLog> initWithCoder(platform::KeyedUnarchiver& coder);

  nlohmann::json serializeToDictionary() const override;
  bool isEqual(const TLAbstractLog& other) const override;
  std::vector<std::string> classesForCoder() const override {
    return {kClassName, TLAbstractLog::kClassName};
  }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;

  TL_PROPERTY(Services, services, setServices)
};
