#include "Telemetry/Internals/Model/TLTypedProperty.h"

#include "Telemetry/Internals/Util/TLUtility.h"
#include "platform/KeyedArchiver.h"

namespace {
constexpr const char* kType = "type";
constexpr const char* kName = "name";
constexpr const char* kValue = "value";
}  // namespace

nlohmann::json TLTypedProperty::serializeToDictionary() const {
  auto dictionary = nlohmann::json::object();
  if (type_) dictionary[kType] = *type_;
  if (name_) dictionary[kName] = *name_;
  if (auto value = jsonValue()) dictionary[kValue] = std::move(*value);
  return dictionary;
}

bool TLTypedProperty::isEqual(const TLTypedProperty& other) const {
  return type_ == other.type_ && isEqualValue(other);
}

void TLTypedProperty::encodeWithCoder(platform::KeyedArchiver& coder) const {
  coder.encodeObject(type_, kType);
  coder.encodeObject(name_, kName);
  encodeValue(coder);
}

void TLTypedProperty::decodeFields(platform::KeyedUnarchiver& coder) {
  type_ = coder.decodeStringForKey(kType);
  name_ = coder.decodeStringForKey(kName);
}

std::shared_ptr<TLStringTypedProperty> TLStringTypedProperty::initWithCoder(
    platform::KeyedUnarchiver& coder) {
  auto property = init();
  property->decodeFields(coder);
  property->value_ = coder.decodeStringForKey(kValue);
  return property;
}

std::optional<nlohmann::json> TLStringTypedProperty::jsonValue() const {
  if (!value_) return std::nullopt;
  return nlohmann::json(*value_);
}

void TLStringTypedProperty::encodeValue(platform::KeyedArchiver& coder) const {
  coder.encodeObject(value_, kValue);
}

std::shared_ptr<TLBooleanTypedProperty> TLBooleanTypedProperty::initWithCoder(
    platform::KeyedUnarchiver& coder) {
  auto property = init();
  property->decodeFields(coder);
  property->value_ = coder.decodeBoolForKey(kValue);
  return property;
}

void TLBooleanTypedProperty::encodeValue(platform::KeyedArchiver& coder) const {
  coder.encodeBool(value_, kValue);
}

std::shared_ptr<TLLongTypedProperty> TLLongTypedProperty::initWithCoder(platform::KeyedUnarchiver& coder) {
  auto property = init();
  property->decodeFields(coder);
  property->value_ = coder.decodeInt64ForKey(kValue);
  return property;
}

void TLLongTypedProperty::encodeValue(platform::KeyedArchiver& coder) const {
  coder.encodeInt64(value_, kValue);
}

std::shared_ptr<TLDoubleTypedProperty> TLDoubleTypedProperty::initWithCoder(
    platform::KeyedUnarchiver& coder) {
  auto property = init();
  property->decodeFields(coder);
  property->value_ = coder.decodeDoubleForKey(kValue);
  return property;
}

void TLDoubleTypedProperty::encodeValue(platform::KeyedArchiver& coder) const {
  coder.encodeDouble(value_, kValue);
}

std::shared_ptr<TLDateTimeTypedProperty> TLDateTimeTypedProperty::initWithCoder(
    platform::KeyedUnarchiver& coder) {
  auto property = init();
  property->decodeFields(coder);
  property->value_ = coder.decodeDateForKey(kValue);
  return property;
}

std::optional<nlohmann::json> TLDateTimeTypedProperty::jsonValue() const {
  if (!value_) return std::nullopt;
  return nlohmann::json(TLUtility::dateToISO8601(*value_));
}

void TLDateTimeTypedProperty::encodeValue(platform::KeyedArchiver& coder) const {
  coder.encodeObject(value_, kValue);
}
