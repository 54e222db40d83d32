#include "TelemetryAnalytics/Model/TLAnalyticsLogs.h"

#include <mutex>

#include "Telemetry/Internals/Model/TLArchiving.h"
#include "Telemetry/Internals/Model/TLEventSchemaLog.h"
#include "Telemetry/Internals/Util/TLLogger.h"
#include "Telemetry/Internals/Util/TLUtility.h"
#include "TelemetryAnalytics/TLAnalyticsConstants.h"
#include "platform/KeyedArchiver.h"

namespace {
constexpr const char* kName = "name";
constexpr const char* kId = "id";
constexpr const char* kTypedProperties = "typedProperties";
constexpr const char* kBaseType = "baseType";
constexpr const char* kBaseData = "baseData";
// The key of a metadata level's field types.
constexpr const char* kFieldsKey = "f";

std::vector<std::string> splitAtDots(const std::string& name) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (true) {
    std::size_t dot = name.find('.', start);
    parts.push_back(name.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
    if (dot == std::string::npos) return parts;
    start = dot + 1;
  }
}

bool startsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }
}  // namespace

// ---- TLLogWithNameAndProperties ----

std::shared_ptr<TLLogWithNameAndProperties> TLLogWithNameAndProperties::initWithCoder(
    platform::KeyedUnarchiver& coder) {
  auto log = init();
  log->decodeFields(coder);
  return log;
}

void TLLogWithNameAndProperties::decodeFields(platform::KeyedUnarchiver& coder) {
  TLLogWithProperties::decodeFields(coder);
  name_ = coder.decodeStringForKey(kName);
}

nlohmann::json TLLogWithNameAndProperties::serializeToDictionary() const {
  auto dictionary = TLLogWithProperties::serializeToDictionary();
  if (name_) dictionary[kName] = *name_;
  return dictionary;
}

bool TLLogWithNameAndProperties::isValid() const {
  return TLLogWithProperties::isValid() && name_.has_value();
}

bool TLLogWithNameAndProperties::isEqual(const TLAbstractLog& other) const {
  auto log = dynamic_cast<const TLLogWithNameAndProperties*>(&other);
  return log && TLLogWithProperties::isEqual(other) && name_ == log->name_;
}

void TLLogWithNameAndProperties::encodeWithCoder(platform::KeyedArchiver& coder) const {
  TLLogWithProperties::encodeWithCoder(coder);
  coder.encodeObject(name_, kName);
}

// ---- TLPageLog ----

std::shared_ptr<TLPageLog> TLPageLog::initWithCoder(platform::KeyedUnarchiver& coder) {
  auto log = init();
  log->decodeFields(coder);
  return log;
}

bool TLPageLog::isEqual(const TLAbstractLog& other) const {
  return dynamic_cast<const TLPageLog*>(&other) && TLLogWithNameAndProperties::isEqual(other);
}

// ---- TLEventLog ----

TLEventLog::TLEventLog() { setType(kType); }

const std::map<std::string, int>& TLEventLog::metadataTypeIdMapping() const {
  // Never destroyed: logs are still converted on the logs queue while the process exits.
  static const auto* mapping = new std::map<std::string, int>{{"long", 4}, {"double", 6}, {"dateTime", 9}};
  return *mapping;
}

std::shared_ptr<TLEventLog> TLEventLog::initWithCoder(platform::KeyedUnarchiver& coder) {
  auto log = init();
  log->decodeFields(coder);
  log->eventId_ = coder.decodeStringForKey(kId);
  log->typedProperties_ = coder.decodeObjectOfClass<TLEventProperties>(kTypedProperties);
  return log;
}

nlohmann::json TLEventLog::serializeToDictionary() const {
  auto dictionary = TLLogWithNameAndProperties::serializeToDictionary();
  if (eventId_) dictionary[kId] = *eventId_;
  if (typedProperties_) dictionary[kTypedProperties] = typedProperties_->serializeToArray();
  return dictionary;
}

bool TLEventLog::isValid() const { return TLLogWithNameAndProperties::isValid() && eventId_.has_value(); }

bool TLEventLog::isEqual(const TLAbstractLog& other) const {
  auto log = dynamic_cast<const TLEventLog*>(&other);
  return log && TLLogWithNameAndProperties::isEqual(other) && eventId_ == log->eventId_;
}

void TLEventLog::encodeWithCoder(platform::KeyedArchiver& coder) const {
  TLLogWithNameAndProperties::encodeWithCoder(coder);
  coder.encodeObject(eventId_, kId);
  coder.encodeObject(platform::ArchiveObject(typedProperties_), kTypedProperties);
}

std::shared_ptr<TLEventSchemaLog> TLEventLog::toEventSchemaLogForTargetToken(const std::string& token,
                                                                             std::uint64_t flags) const {
  auto log = TLLogWithNameAndProperties::toEventSchemaLogForTargetToken(token, flags);
  log->setName(name());
  setPropertiesAndMetadataForCSLog(*log);
  log->setTag(tag());
  return log;
}

void TLEventLog::setPropertiesAndMetadataForCSLog(TLEventSchemaLog& log) const {
  if (!typedProperties_) return;
  TLEventProperties& bag = *typedProperties_;
  const std::string baseDataPrefix = std::string(kBaseData) + ".";
  const std::string baseTypePrefix = std::string(kBaseType) + ".";
  bool baseTypeIsString =
      std::dynamic_pointer_cast<TLStringTypedProperty>(bag.propertyForKey(kBaseType)) != nullptr;
  if (!baseTypeIsString) {
    if (bag.removePropertiesWithPrefix(baseDataPrefix) > 0) {
      TLLogWarning(kTLAnalyticsLogTag, "baseData was set but baseType is missing or invalid.");
    }
    bag.removePropertyForKey(kBaseType);
  } else {
    bool hasBaseData = false;
    for (const auto& [key, property] : bag.entries())
      hasBaseData = hasBaseData || startsWith(key, baseDataPrefix);
    if (!hasBaseData) {
      TLLogWarning(kTLAnalyticsLogTag, "baseType was set but baseData is missing.");
      bag.removePropertyForKey(kBaseType);
    }
  }
  nlohmann::json properties = nlohmann::json::object();
  nlohmann::json metadata = nlohmann::json::object();
  for (const auto& [key, property] : bag.entries()) {
    if (startsWith(key, baseTypePrefix)) {
      TLLogWarning(kTLAnalyticsLogTag, "baseType must not be an object.");
      continue;
    }
    if (key == kBaseData) {
      TLLogWarning(kTLAnalyticsLogTag, "baseData must be an object.");
      continue;
    }
    addTypedProperty(*property, metadata, properties);
  }
  if (!properties.empty()) {
    auto data = TLCSData::init();
    data->setProperties(std::move(properties));
    log.setData(std::move(data));
  }
  if (!metadata.empty()) {
    auto extension = TLMetadataExtension::init();
    extension->setMetadata(std::move(metadata));
    if (!log.ext()) log.setExt(TLCSExtensions::init());
    log.ext()->setMetadataExt(std::move(extension));
  }
}

void TLEventLog::addTypedProperty(const TLTypedProperty& property, nlohmann::json& metadata,
                                  nlohmann::json& properties) const {
  std::optional<int> typeId;
  const auto& mapping = metadataTypeIdMapping();
  if (auto it = mapping.find(property.type().value_or("")); it != mapping.end()) {
    typeId = it->second;
  }
  auto parts = splitAtDots(property.name().value_or(""));
  const std::string& last = parts.back();

  nlohmann::json* node = &properties;
  for (std::size_t i = 0; i + 1 < parts.size() && node; ++i) {
    auto it = node->find(parts[i]);
    if (it == node->end()) {
      node = &((*node)[parts[i]] = nlohmann::json::object());
    } else if (it->is_object()) {
      node = &*it;
    } else {
      node = nullptr;  // a plain value sits on the path
    }
  }
  if (!node || !addTypedPropertyToPropertyTree(property, *node, last)) {
    // The first property to claim a key wins; the loser leaves no metadata anywhere.
    TLLogWarning(kTLAnalyticsLogTag, "Property key '{}' already has a value, choosing one.", last);
    return;
  }
  if (!typeId) return;
  nlohmann::json* level = &metadata;
  for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
    nlohmann::json& fields = (*level)[kFieldsKey];
    if (!fields.is_object()) fields = nlohmann::json::object();
    nlohmann::json& child = fields[parts[i]];
    if (!child.is_object()) child = nlohmann::json::object();
    level = &child;
  }
  nlohmann::json& fields = (*level)[kFieldsKey];
  if (!fields.is_object()) fields = nlohmann::json::object();
  fields[last] = *typeId;
}

bool TLEventLog::addTypedPropertyToPropertyTree(const TLTypedProperty& property, nlohmann::json& node,
                                                const std::string& key) {
  if (node.contains(key)) return false;
  if (auto text = dynamic_cast<const TLStringTypedProperty*>(&property)) {
    if (text->value()) node[key] = *text->value();
  } else if (auto flag = dynamic_cast<const TLBooleanTypedProperty*>(&property)) {
    node[key] = flag->value();
  } else if (auto number = dynamic_cast<const TLLongTypedProperty*>(&property)) {
    node[key] = number->value();
  } else if (auto real = dynamic_cast<const TLDoubleTypedProperty*>(&property)) {
    node[key] = real->value();
  } else if (auto date = dynamic_cast<const TLDateTimeTypedProperty*>(&property)) {
    if (date->value()) node[key] = TLUtility::dateToISO8601(*date->value());
  }
  return true;
}

// ---- TLStartSessionLog ----

std::shared_ptr<TLStartSessionLog> TLStartSessionLog::initWithCoder(platform::KeyedUnarchiver& coder) {
  auto log = init();
  log->decodeFields(coder);
  return log;
}

bool TLStartSessionLog::isEqual(const TLAbstractLog& other) const {
  return dynamic_cast<const TLStartSessionLog*>(&other) && TLAbstractLog::isEqual(other);
}

// ---- Archiving ----

void TLRegisterAnalyticsArchivedClasses() {
  static std::once_flag once;
  std::call_once(once, [] {
    auto& registry = TLClassRegistry();
    registry.registerClass<TLLogWithNameAndProperties>(TLLogWithNameAndProperties::kClassName);
    registry.registerClass<TLPageLog>(TLPageLog::kClassName);
    registry.registerClass<TLEventLog>(TLEventLog::kClassName);
    registry.registerClass<TLStartSessionLog>(TLStartSessionLog::kClassName);
    registry.registerClass<TLEventProperties>(TLEventProperties::kClassName);
  });
}
