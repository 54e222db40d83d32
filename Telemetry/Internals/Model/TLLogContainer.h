#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Telemetry/Internals/Model/TLAbstractLog.h"

// One batch of logs on its way to the telemetry service.
class TLLogContainer {
 public:
  using Logs = std::vector<std::shared_ptr<TLLog>>;

  TLLogContainer() = default;
  static std::shared_ptr<TLLogContainer> initWithBatchId(std::optional<std::string> batchId, Logs logs);

  // At least one log, and every log valid.
  bool isValid() const;
  // {"logs":[...]} compact; nullopt when it cannot be written (logged).
  std::optional<std::string> serializeLog() const { return serializeLogWithPrettyPrinting(false); }
  std::optional<std::string> serializeLogWithPrettyPrinting(bool prettyPrint) const;

  const std::optional<std::string>& batchId() const { return batchId_; }
  void setBatchId(std::optional<std::string> batchId) { batchId_ = std::move(batchId); }
  const Logs& logs() const { return logs_; }
  void setLogs(Logs logs) { logs_ = std::move(logs); }

 private:
  std::optional<std::string> batchId_;
  Logs logs_;
};
