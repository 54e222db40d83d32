#include "engine/QVModuleResult.h"

#include "engine/QVJsonValues.h"
#include "platform/Log.h"

QVModuleResult::QVModuleResult(bool success, platform::Date date, std::optional<std::string> resultString,
                               std::optional<QVModuleResultOptions> options)
    : success_(success), date_(date), resultString_(std::move(resultString)), options_(std::move(options)) {}

QVModuleResult::Pointer QVModuleResult::resultWithDictionary(const nlohmann::json& dictionary) {
  std::shared_ptr<QVModuleResult> result(new QVModuleResult());
  if (!result->configureWithDict(dictionary)) return nullptr;
  return result;
}

bool QVModuleResult::configureWithDict(const nlohmann::json& dictionary) {
  date_ = platform::Date::now();
  const nlohmann::json* type = QVJsonMember(dictionary, "type");
  const nlohmann::json* options = QVJsonMember(dictionary, "options");

  if (!type || !type->is_string()) {
    platform::log("Failed because type is not a string or is empty");
    platform::log("{} - {}", QVJsonDescription(type), QVJsonClassName(type));
    return false;
  }
  if (type->get_ref<const std::string&>() != "finished" || !options || !options->is_object()) {
    platform::log("Failed because type is not equal to finished or options is not a dictionary");
    platform::log("{} - {}", QVJsonDescription(type), QVJsonClassName(options));
    return false;
  }
  const nlohmann::json* result = QVJsonMember(*options, "result");
  const nlohmann::json* success = QVJsonMember(*options, "success");
  if (!result || !result->is_string() || !success || !(success->is_number() || success->is_boolean())) {
    platform::log("Failed because result is not a string or is invalid or success is not a number");
    platform::log("{} - {}", QVJsonDescription(result), QVJsonClassName(result));
    platform::log("{} - {}", QVJsonDescription(success), QVJsonClassName(success));
    return false;
  }
  if (const nlohmann::json* settings = QVJsonMember(*options, "options")) {
    options_ = QVModuleResultOptions::optionsWithDictionary(*settings);
  }
  resultString_ = result->get<std::string>();
  success_ = QVJsonNumberBool(success).value_or(false);
  return true;
}
