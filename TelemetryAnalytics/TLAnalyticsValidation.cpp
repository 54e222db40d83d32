// The analytics service's checks of names and properties.
#include <algorithm>

#include "Telemetry/Internals/Util/TLLogger.h"
#include "Telemetry/Internals/Util/TLUtility.h"
#include "TelemetryAnalytics/TLAnalytics.h"

bool TLAnalytics::channelUnitShouldFilterLog(TLChannelUnitProtocol&, const std::shared_ptr<TLLog>& log) {
  auto named = std::dynamic_pointer_cast<TLLogWithNameAndProperties>(log);
  if (!named || !(std::dynamic_pointer_cast<TLEventLog>(log) || std::dynamic_pointer_cast<TLPageLog>(log)))
    return false;
  return !validateLog(*named);
}

bool TLAnalytics::validateLog(TLLogWithNameAndProperties& log) {
  std::string type = log.type().value_or("");
  auto name = validateEventName(log.name(), type);
  if (!name) return false;
  log.setName(name);
  if (log.properties()) log.setProperties(validateProperties(*log.properties(), *name, type));
  return true;
}

std::optional<std::string> TLAnalytics::validateEventName(const std::optional<std::string>& name,
                                                          const std::string& type) {
  if (!name || name->empty()) {
    TLLogError(kTLAnalyticsLogTag, "{} name cannot be null or empty", type);
    return std::nullopt;
  }
  if (TLUtility::utf16Length(*name) > kMaxNameLength) {
    TLLogWarning(kTLAnalyticsLogTag,
                 "{} '{}' : name length cannot be longer than {} characters. Name will be truncated.", type,
                 *name, kMaxNameLength);
    return TLUtility::truncatedToUTF16Length(*name, kMaxNameLength);
  }
  return name;
}

std::map<std::string, std::string> TLAnalytics::validateProperties(
    const std::map<std::string, std::string>& properties, const std::string& name, const std::string& type) {
  return TLUtility::validateProperties(properties, name, type);
}

std::shared_ptr<TLEventProperties> TLAnalytics::validateTelemetryEventProperties(
    const std::shared_ptr<TLEventProperties>& properties) {
  if (!properties) return TLEventProperties::init();
  // Built in a vector of its final size first, so the bag the log keeps costs one allocation for
  // its entries (every tracked event passes here).
  auto given = properties->entries();
  TLEventProperties::Entries valid;
  valid.reserve(std::min(given.size(), kMaxTypedProperties));
  for (const auto& [key, property] : given) {
    if (valid.size() >= kMaxTypedProperties) {
      TLLogWarning(kTLAnalyticsLogTag,
                   "Typed properties cannot contain more than {} items. Skipping other properties.",
                   kMaxTypedProperties);
      break;
    }
    if (auto checked = validateTelemetryTypedProperty(*property)) {
      std::string checkedName = checked->name().value_or("");
      // Names that become equal once cut keep the later property, in the later place.
      std::erase_if(valid, [&](const auto& entry) { return entry.first == checkedName; });
      valid.emplace_back(std::move(checkedName), std::move(checked));
    }
  }
  return TLEventProperties::initWithEntries(std::move(valid));
}

std::shared_ptr<TLTypedProperty> TLAnalytics::validateTelemetryTypedProperty(
    const TLTypedProperty& property) {
  std::shared_ptr<TLTypedProperty> copy;
  if (auto text = dynamic_cast<const TLStringTypedProperty*>(&property)) {
    auto checked = TLStringTypedProperty::init();
    checked->setValue(validateTelemetryStringTypedPropertyValue(text->value()));
    copy = checked;
  } else if (auto flag = dynamic_cast<const TLBooleanTypedProperty*>(&property)) {
    auto checked = TLBooleanTypedProperty::init();
    checked->setValue(flag->value());
    copy = checked;
  } else if (auto number = dynamic_cast<const TLLongTypedProperty*>(&property)) {
    auto checked = TLLongTypedProperty::init();
    checked->setValue(number->value());
    copy = checked;
  } else if (auto real = dynamic_cast<const TLDoubleTypedProperty*>(&property)) {
    auto checked = TLDoubleTypedProperty::init();
    checked->setValue(real->value());
    copy = checked;
  } else if (auto date = dynamic_cast<const TLDateTimeTypedProperty*>(&property)) {
    auto checked = TLDateTimeTypedProperty::init();
    checked->setValue(date->value());
    copy = checked;
  } else {
    return nullptr;
  }
  copy->setName(validateTelemetryPropertyName(property.name().value_or("")));
  return copy;
}

std::string TLAnalytics::validateTelemetryPropertyName(const std::string& name) {
  if (TLUtility::utf16Length(name) > kMaxPropertyKeyLength) {
    TLLogWarning(
        kTLAnalyticsLogTag,
        "Typed property '{}': key length cannot exceed {} characters. Property value will be truncated.",
        name, kMaxPropertyKeyLength);
    return TLUtility::truncatedToUTF16Length(name, kMaxPropertyKeyLength);
  }
  return name;
}

std::optional<std::string> TLAnalytics::validateTelemetryStringTypedPropertyValue(
    const std::optional<std::string>& value) {
  if (value && TLUtility::utf16Length(*value) > kMaxPropertyValueLength) {
    TLLogWarning(kTLAnalyticsLogTag,
                 "Typed property value length cannot exceed {} characters. Property value will be truncated.",
                 kMaxPropertyValueLength);
    return TLUtility::truncatedToUTF16Length(*value, kMaxPropertyValueLength);
  }
  return value;
}
