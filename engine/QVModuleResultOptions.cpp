#include "engine/QVModuleResultOptions.h"

#include "engine/QVJsonValues.h"
#include "platform/HexColor.h"

std::optional<QVModuleResultOptions> QVModuleResultOptions::optionsWithDictionary(
    const nlohmann::json& dictionary) {
  QVModuleResultOptions options;
  if (!options.configureWithDict(dictionary)) return std::nullopt;
  return options;
}

bool QVModuleResultOptions::configureWithDict(const nlohmann::json& dictionary) {
  if (!dictionary.is_object()) return false;
  if (auto color = QVJsonString(QVJsonMember(dictionary, "color"))) {
    color_ = platform::zk_colorWithHexColorString(*color);
  }
  onClickString_ = QVJsonString(QVJsonMember(dictionary, "onclick"));
  dictionary_ = dictionary;
  return true;
}
