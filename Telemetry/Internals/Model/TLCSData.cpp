#include "Telemetry/Internals/Model/TLCSData.h"

#include "platform/KeyedArchiver.h"

namespace {
constexpr const char* kBaseType = "baseType";
constexpr const char* kBaseData = "baseData";
}  // namespace

std::shared_ptr<TLCSData> TLCSData::initWithCoder(platform::KeyedUnarchiver& coder) {
  auto data = init();
  auto root = coder.decodeObject();
  if (root.isNil()) return data;
  if (!root.asDictionary()) throw platform::DecodingError("data properties are not a dictionary");
  data->properties_ = root.toJson();
  return data;
}

std::optional<TLOrderedDictionary> TLCSData::serializeToOrderedDictionary() const {
  auto properties = this->properties();
  if (!properties) return std::nullopt;
  TLOrderedDictionary dictionary(properties->size());
  for (const char* key : {kBaseType, kBaseData}) {
    auto it = properties->find(key);
    if (it != properties->end()) dictionary.setObject(*it, key);
  }
  for (const auto& [key, value] : properties->items()) dictionary.setObject(value, key);
  return dictionary;
}

nlohmann::json TLCSData::serializeToDictionary() const {
  auto properties = this->properties();
  if (!properties) return nullptr;
  return *properties;
}

bool TLCSData::isEqual(const TLCSData& other) const {
  if (this == &other) return true;
  return properties() == other.properties();
}

void TLCSData::encodeWithCoder(platform::KeyedArchiver& coder) const {
  auto properties = this->properties();
  coder.encodeObject(properties ? platform::ArchiveObject::fromJson(*properties) : platform::ArchiveObject());
}

std::optional<nlohmann::json> TLCSData::properties() const {
  std::lock_guard lock(mutex_);
  return properties_;
}

void TLCSData::setProperties(std::optional<nlohmann::json> properties) {
  if (properties && !properties->is_object()) properties.reset();
  std::lock_guard lock(mutex_);
  properties_ = std::move(properties);
}
