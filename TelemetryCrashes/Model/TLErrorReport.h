#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "Telemetry/Internals/Model/TLDevice.h"
#include "platform/Date.h"

// The public description of one crash, as the application's confirmation handler and the service's
// delegate see it.
class TLErrorReport {
 public:
  using String = std::optional<std::string>;

  static std::shared_ptr<TLErrorReport> initWithErrorId(String errorId, String reporterKey, String signal,
                                                        String exceptionName, String exceptionReason,
                                                        std::optional<platform::Date> appStartTime,
                                                        std::optional<platform::Date> appErrorTime,
                                                        std::shared_ptr<TLDevice> device,
                                                        std::uint64_t appProcessIdentifier) {
    auto report = std::make_shared<TLErrorReport>();
    report->incidentIdentifier_ = std::move(errorId);
    report->reporterKey_ = std::move(reporterKey);
    report->signal_ = std::move(signal);
    report->exceptionName_ = std::move(exceptionName);
    report->exceptionReason_ = std::move(exceptionReason);
    report->appStartTime_ = appStartTime;
    report->appErrorTime_ = appErrorTime;
    report->device_ = std::move(device);
    report->appProcessIdentifier_ = appProcessIdentifier;
    return report;
  }

  const String& incidentIdentifier() const { return incidentIdentifier_; }
  const String& reporterKey() const { return reporterKey_; }
  const String& signal() const { return signal_; }
  void setSignal(String signal) { signal_ = std::move(signal); }
  const String& exceptionName() const { return exceptionName_; }
  const String& exceptionReason() const { return exceptionReason_; }
  const std::optional<platform::Date>& appStartTime() const { return appStartTime_; }
  const std::optional<platform::Date>& appErrorTime() const { return appErrorTime_; }
  const std::shared_ptr<TLDevice>& device() const { return device_; }
  std::uint64_t appProcessIdentifier() const { return appProcessIdentifier_; }

  // The process was killed: the signal, in any case, is "SIGKILL".
  bool isAppKill() const {
    if (!signal_) return false;
    std::string upper = *signal_;
    for (char& c : upper) {
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return upper == "SIGKILL";
  }

 private:
  String incidentIdentifier_;
  String reporterKey_;
  String signal_;
  String exceptionName_;
  String exceptionReason_;
  std::optional<platform::Date> appStartTime_;
  std::optional<platform::Date> appErrorTime_;
  std::shared_ptr<TLDevice> device_;
  std::uint64_t appProcessIdentifier_ = 0;
};
