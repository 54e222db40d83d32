#include "Telemetry/Internals/Model/TLCustomPropertiesLog.h"

#include "Telemetry/Internals/Util/TLUtility.h"
#include "platform/KeyedArchiver.h"

namespace {
constexpr const char* kProperties = "properties";
// The type is archived a second time under the kind's own key; decoding reads it from there.
constexpr const char* kCustomPropertiesTypeKey = "customProperties";
}  // namespace

std::shared_ptr<TLCustomPropertiesLog> TLCustomPropertiesLog::initWithCoder(
    platform::KeyedUnarchiver& coder) {
  auto log = init();
  log->decodeFields(coder);
  log->setType(coder.decodeStringForKey(kCustomPropertiesTypeKey));
  log->properties_ = coder.decodeDictionaryForKey(kProperties);
  return log;
}

std::optional<nlohmann::json> TLCustomPropertiesLog::serializeProperty(const platform::ArchiveObject& value) {
  using Kind = platform::ArchiveObject::Kind;
  switch (value.kind()) {
    case Kind::Null:
      return nlohmann::json{{"type", "clear"}};
    case Kind::Boolean:
      return nlohmann::json{{"type", "boolean"}, {"value", *value.asBoolean()}};
    case Kind::Integer:
      return nlohmann::json{{"type", "number"}, {"value", *value.asInteger()}};
    case Kind::Real:
      return nlohmann::json{{"type", "number"}, {"value", *value.asReal()}};
    case Kind::Date:
      return nlohmann::json{{"type", "dateTime"}, {"value", TLUtility::dateToISO8601(*value.asDate())}};
    case Kind::String:
      return nlohmann::json{{"type", "string"}, {"value", *value.asString()}};
    default:
      return std::nullopt;
  }
}

nlohmann::json TLCustomPropertiesLog::serializeToDictionary() const {
  auto dictionary = TLAbstractLog::serializeToDictionary();
  if (properties_) {
    auto array = nlohmann::json::array();
    for (const auto& [name, value] : *properties_) {
      auto property = serializeProperty(value);
      if (!property) continue;
      (*property)["name"] = name;
      array.push_back(std::move(*property));
    }
    dictionary[kProperties] = std::move(array);
  }
  return dictionary;
}

bool TLCustomPropertiesLog::isValid() const {
  return TLAbstractLog::isValid() && properties_ && !properties_->empty();
}

bool TLCustomPropertiesLog::isEqual(const TLAbstractLog& other) const {
  auto log = dynamic_cast<const TLCustomPropertiesLog*>(&other);
  return log && TLAbstractLog::isEqual(other) && properties_ == log->properties_;
}

void TLCustomPropertiesLog::encodeWithCoder(platform::KeyedArchiver& coder) const {
  TLAbstractLog::encodeWithCoder(coder);
  coder.encodeObject(type(), kCustomPropertiesTypeKey);
  coder.encodeObject(properties_, kProperties);
}
