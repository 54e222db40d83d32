#include "Telemetry/Internals/Model/TLLogContainer.h"

#include "Telemetry/Internals/Util/TLLogger.h"

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
  auto array = nlohmann::ordered_json::array();
  for (const auto& log : logs_) {
    if (!log) continue;
    auto dictionary = log->serializeToOrderedJson();
    if (dictionary.is_object()) array.push_back(std::move(dictionary));
  }
  auto container = nlohmann::ordered_json::object();
  container["logs"] = std::move(array);
  // The writer replaces invalid UTF-8 and never escapes "/"; it has no failure left to report.
  return container.dump(prettyPrint ? 2 : -1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}
