#include "Telemetry/Internals/Model/TLLogWithProperties.h"

#include "platform/KeyedArchiver.h"

namespace {
constexpr const char* kProperties = "properties";
}  // namespace

std::shared_ptr<TLLogWithProperties> TLLogWithProperties::initWithCoder(platform::KeyedUnarchiver& coder) {
  auto log = init();
  log->decodeFields(coder);
  return log;
}

nlohmann::json TLLogWithProperties::serializeToDictionary() const {
  auto dictionary = TLAbstractLog::serializeToDictionary();
  if (properties_ && !properties_->empty()) dictionary[kProperties] = *properties_;
  return dictionary;
}

bool TLLogWithProperties::isEqual(const TLAbstractLog& other) const {
  auto log = dynamic_cast<const TLLogWithProperties*>(&other);
  return log && TLAbstractLog::isEqual(other) && properties_ == log->properties_;
}

void TLLogWithProperties::encodeWithCoder(platform::KeyedArchiver& coder) const {
  TLAbstractLog::encodeWithCoder(coder);
  if (!properties_) {
    coder.encodeObject(platform::ArchiveObject(), kProperties);
    return;
  }
  platform::ArchiveObject::Dictionary dictionary;
  for (const auto& [key, value] : *properties_) dictionary.emplace(key, value);
  coder.encodeObject(platform::ArchiveObject(std::move(dictionary)), kProperties);
}

void TLLogWithProperties::decodeFields(platform::KeyedUnarchiver& coder) {
  TLAbstractLog::decodeFields(coder);
  auto dictionary = coder.decodeDictionaryForKey(kProperties);
  if (!dictionary) {
    properties_.reset();
    return;
  }
  std::map<std::string, std::string> properties;
  for (const auto& [key, value] : *dictionary) {
    const std::string* text = value.asString();
    if (!text) throw platform::DecodingError("properties hold a value that is not a string");
    properties.emplace(key, *text);
  }
  properties_ = std::move(properties);
}
