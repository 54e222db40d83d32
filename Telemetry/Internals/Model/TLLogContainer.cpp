#include "Telemetry/Internals/Model/TLLogContainer.h"

#include "Telemetry/Internals/Util/TLLogger.h"
#include "platform/Json.h"

std::shared_ptr<TLLogContainer> TLLogContainer::initWithBatchId(std::optional<std::string> batchId,
                                                                Logs logs) {
  auto container = std::make_shared<TLLogContainer>();
  container->batchId_ = std::move(batchId);
  container->logs_ = std::move(logs);
  return container;
}

bool TLLogContainer::isValid() const {
  if (logs_.empty()) return false;
  for (const auto& log : logs_) {
    if (!log || !log->isValid()) return false;
  }
  return true;
}

std::optional<std::string> TLLogContainer::serializeLogWithPrettyPrinting(bool prettyPrint) const {
  auto array = nlohmann::json::array();
  for (const auto& log : logs_) {
    if (!log) continue;
    auto dictionary = log->serializeToDictionary();
    if (dictionary.is_object()) array.push_back(std::move(dictionary));
  }
  // The writer replaces invalid UTF-8 and never escapes "/"; it has no failure left to report.
  return platform::json::dump(nlohmann::json{{"logs", std::move(array)}}, prettyPrint ? 2 : -1);
}
