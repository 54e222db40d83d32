#include "TelemetryAnalytics/Model/TLEventProperties.h"

#include <algorithm>
#include <cmath>

#include "Telemetry/Internals/Util/TLLogger.h"
#include "TelemetryAnalytics/TLAnalyticsConstants.h"
#include "platform/KeyedArchiver.h"

std::shared_ptr<TLEventProperties> TLEventProperties::initWithStringDictionary(
    const std::map<std::string, std::string>& values) {
  auto properties = init();
  for (const auto& [key, value] : values) {
    auto property = TLStringTypedProperty::init();
    property->setName(key);
    property->setValue(value);
    properties->store(key, std::move(property));
  }
  return properties;
}

std::shared_ptr<TLEventProperties> TLEventProperties::initWithCoder(platform::KeyedUnarchiver& coder) {
  auto properties = init();
  auto root = coder.decodeObject();
  if (root.isNil()) return properties;
  const auto* dictionary = root.asDictionary();
  if (!dictionary) throw platform::DecodingError("event properties hold something else than a dictionary");
  for (const auto& [key, value] : *dictionary) {
    auto property = value.asObjectOfClass<TLTypedProperty>();
    if (!property)
      throw platform::DecodingError("event properties hold a value that is not a typed property");
    properties->store(key, std::move(property));
  }
  return properties;
}

void TLEventProperties::encodeWithCoder(platform::KeyedArchiver& coder) const {
  platform::ArchiveObject::Dictionary dictionary;
  for (const auto& [key, property] : entries()) dictionary.emplace(key, platform::ArchiveObject(property));
  coder.encodeObject(platform::ArchiveObject(std::move(dictionary)));
}

bool TLEventProperties::validateKey(const Key& key) {
  if (!key) {
    TLLogError(kTLAnalyticsLogTag, "Key cannot be null. Property will not be added.");
    return false;
  }
  return true;
}

bool TLEventProperties::validateValue(bool present) {
  if (!present) {
    TLLogError(kTLAnalyticsLogTag, "Value cannot be null. Property will not be added.");
    return false;
  }
  return true;
}

void TLEventProperties::store(const std::string& key, std::shared_ptr<TLTypedProperty> property) {
  auto it = std::find_if(properties_.begin(), properties_.end(),
                         [&](const auto& entry) { return entry.first == key; });
  if (it != properties_.end()) {
    it->second = std::move(property);
  } else {
    properties_.emplace_back(key, std::move(property));
  }
}

void TLEventProperties::setProperty(const std::string& key, std::shared_ptr<TLTypedProperty> property) {
  if (!property) return;
  std::lock_guard lock(mutex_);
  store(key, std::move(property));
}

TLEventProperties& TLEventProperties::setString(const std::optional<std::string>& value, const Key& key) {
  if (validateKey(key) && validateValue(value.has_value())) {
    auto property = TLStringTypedProperty::init();
    property->setName(*key);
    property->setValue(*value);
    setProperty(*key, std::move(property));
  }
  return *this;
}

TLEventProperties& TLEventProperties::setDouble(double value, const Key& key) {
  if (!validateKey(key)) return *this;
  if (!std::isfinite(value)) {
    TLLogError(kTLAnalyticsLogTag,
               "Double value for property '{}' must be finite (cannot be INFINITY or NAN).", *key);
    return *this;
  }
  auto property = TLDoubleTypedProperty::init();
  property->setName(*key);
  property->setValue(value);
  setProperty(*key, std::move(property));
  return *this;
}

TLEventProperties& TLEventProperties::setInt64(std::int64_t value, const Key& key) {
  if (validateKey(key)) {
    auto property = TLLongTypedProperty::init();
    property->setName(*key);
    property->setValue(value);
    setProperty(*key, std::move(property));
  }
  return *this;
}

TLEventProperties& TLEventProperties::setBool(bool value, const Key& key) {
  if (validateKey(key)) {
    auto property = TLBooleanTypedProperty::init();
    property->setName(*key);
    property->setValue(value);
    setProperty(*key, std::move(property));
  }
  return *this;
}

TLEventProperties& TLEventProperties::setDate(const std::optional<platform::Date>& value, const Key& key) {
  if (validateKey(key) && validateValue(value.has_value())) {
    auto property = TLDateTimeTypedProperty::init();
    property->setName(*key);
    property->setValue(*value);
    setProperty(*key, std::move(property));
  }
  return *this;
}

nlohmann::json TLEventProperties::serializeToArray() const {
  nlohmann::json array = nlohmann::json::array();
  for (const auto& [key, property] : entries()) array.push_back(property->serializeToDictionary());
  return array;
}

bool TLEventProperties::isEmpty() const { return count() == 0; }

std::size_t TLEventProperties::count() const {
  std::lock_guard lock(mutex_);
  return properties_.size();
}

bool TLEventProperties::isEqual(const TLEventProperties& other) const {
  if (this == &other) return true;
  auto mine = entries();
  auto theirs = other.entries();
  if (mine.size() != theirs.size()) return false;
  for (const auto& [key, property] : mine) {
    auto match =
        std::find_if(theirs.begin(), theirs.end(), [&](const auto& entry) { return entry.first == key; });
    if (match == theirs.end() || !property->isEqual(*match->second)) return false;
  }
  return true;
}

void TLEventProperties::mergeEventProperties(const TLEventProperties& other) {
  if (this == &other) return;
  for (auto& [key, property] : other.entries()) setProperty(key, property);
}

std::shared_ptr<TLEventProperties> TLEventProperties::initWithEntries(Entries entries) {
  auto properties = init();
  properties->properties_ = std::move(entries);
  return properties;
}

TLEventProperties::Entries TLEventProperties::entries() const {
  std::lock_guard lock(mutex_);
  return properties_;
}

std::shared_ptr<TLTypedProperty> TLEventProperties::propertyForKey(const std::string& key) const {
  std::lock_guard lock(mutex_);
  for (const auto& [name, property] : properties_)
    if (name == key) return property;
  return nullptr;
}

bool TLEventProperties::hasKey(const std::string& key) const { return propertyForKey(key) != nullptr; }

void TLEventProperties::removePropertyForKey(const std::string& key) {
  std::lock_guard lock(mutex_);
  std::erase_if(properties_, [&](const auto& entry) { return entry.first == key; });
}

std::size_t TLEventProperties::removePropertiesWithPrefix(const std::string& prefix) {
  std::lock_guard lock(mutex_);
  return std::erase_if(properties_, [&](const auto& entry) { return entry.first.rfind(prefix, 0) == 0; });
}
