#include "Telemetry/Internals/Util/TLLogger.h"
#include "Telemetry/Internals/Util/TLUtility.h"

namespace {
constexpr std::size_t kMaxPropertyItems = 20;
constexpr std::size_t kMaxPropertyKeyLength = 125;
constexpr std::size_t kMaxPropertyValueLength = 125;
}  // namespace

std::map<std::string, std::string> TLUtility::validateProperties(
    const std::vector<std::pair<platform::ArchiveObject, platform::ArchiveObject>>& properties,
    const std::string& logName, const std::string& type) {
  std::map<std::string, std::string> result;
  for (const auto& [keyObject, valueObject] : properties) {
    if (result.size() >= kMaxPropertyItems) {
      TLLogWarning(kTLLogTag,
                   "{} '{}' : properties cannot contain more than {} items. Skipping other properties.", type,
                   logName, kMaxPropertyItems);
      return result;
    }
    const std::string* key = keyObject.asString();
    const std::string* value = valueObject.asString();
    if (!key || !value) continue;
    if (key->empty()) {
      TLLogWarning(kTLLogTag, "{} '{}' : a property key cannot be null or empty. Property will be skipped.",
                   type, logName);
      continue;
    }
    std::string cutKey = *key;
    if (utf16Length(*key) > kMaxPropertyKeyLength) {
      cutKey = truncatedToUTF16Length(*key, kMaxPropertyKeyLength);
      TLLogWarning(
          kTLLogTag,
          "{} '{}' : property {} : property key length cannot be longer than {} characters. Property key "
          "will be truncated.",
          type, logName, *key, kMaxPropertyKeyLength);
    }
    std::string cutValue = *value;
    if (utf16Length(*value) > kMaxPropertyValueLength) {
      cutValue = truncatedToUTF16Length(*value, kMaxPropertyValueLength);
      TLLogWarning(
          kTLLogTag,
          "{} '{}' : property '{}' : property value cannot be longer than {} characters. Property value "
          "will be truncated.",
          type, logName, cutKey, kMaxPropertyValueLength);
    }
    result[cutKey] = std::move(cutValue);
  }
  return result;
}

std::map<std::string, std::string> TLUtility::validateProperties(
    const std::map<std::string, std::string>& properties, const std::string& logName,
    const std::string& type) {
  std::vector<std::pair<platform::ArchiveObject, platform::ArchiveObject>> entries;
  entries.reserve(properties.size());
  for (const auto& [key, value] : properties) entries.emplace_back(key, value);
  return validateProperties(entries, logName, type);
}
