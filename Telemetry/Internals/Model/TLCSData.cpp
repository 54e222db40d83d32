#include "Telemetry/Internals/Model/TLCSData.h"

#include "platform/KeyedArchiver.h"

namespace {
constexpr const char* kBaseType = "baseType";
constexpr const char* kBaseData = "baseData";
}  // namespace

std::shared_ptr<TLCSData> TLCSData::initWithCoder(platform::KeyedUnarchiver& coder) {
  auto data = init();
  data->properties_.decode(coder);
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

bool TLCSData::isEqual(const TLCSData& other) const { return properties_.isEqual(other.properties_); }

void TLCSData::encodeWithCoder(platform::KeyedArchiver& coder) const { properties_.encode(coder); }
