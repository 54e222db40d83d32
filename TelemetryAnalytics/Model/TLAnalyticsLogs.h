#pragma once

#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "Telemetry/Internals/Model/TLLogWithProperties.h"
#include "Telemetry/Internals/Model/TLNoAutoAssignSessionIdLog.h"
#include "TelemetryAnalytics/Model/TLEventProperties.h"

// A log with a name besides its string properties.
class TLLogWithNameAndProperties : public TLLogWithProperties {
 public:
  static constexpr const char* kClassName = "TLLogWithNameAndProperties";

  static std::shared_ptr<TLLogWithNameAndProperties> init() {
    return std::make_shared<TLLogWithNameAndProperties>();
  }
  static std::shared_ptr<TLLogWithNameAndProperties> initWithCoder(platform::KeyedUnarchiver& coder);

  // The base members and "name" when set.
  nlohmann::json serializeToDictionary() const override;
  // The base rule and a name.
  bool isValid() const override;
  bool isEqual(const TLAbstractLog& other) const override;
  std::vector<std::string> classesForCoder() const override {
    return {kClassName, TLLogWithProperties::kClassName, TLAbstractLog::kClassName};
  }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;

  TL_PROPERTY(String, name, setName)

 protected:
  void decodeFields(platform::KeyedUnarchiver& coder);
};

// A page the user saw.
class TLPageLog : public TLLogWithNameAndProperties {
 public:
  static constexpr const char* kClassName = "TLPageLog";
  static constexpr const char* kType = "page";

  TLPageLog() { setType(kType); }
  static std::shared_ptr<TLPageLog> init() { return std::make_shared<TLPageLog>(); }
  static std::shared_ptr<TLPageLog> initWithCoder(platform::KeyedUnarchiver& coder);

  bool isEqual(const TLAbstractLog& other) const override;
  std::vector<std::string> classesForCoder() const override {
    return {kClassName, TLLogWithNameAndProperties::kClassName, TLLogWithProperties::kClassName,
            TLAbstractLog::kClassName};
  }
};

// An event with an id and typed properties; converts into an Event Schema log per target token.
class TLEventLog : public TLLogWithNameAndProperties {
 public:
  static constexpr const char* kClassName = "TLEventLog";
  static constexpr const char* kType = "event";

  TLEventLog();
  static std::shared_ptr<TLEventLog> init() { return std::make_shared<TLEventLog>(); }
  static std::shared_ptr<TLEventLog> initWithCoder(platform::KeyedUnarchiver& coder);

  // The base members, "id" when set and "typedProperties" when the bag is set.
  nlohmann::json serializeToDictionary() const override;
  // The base rule and an event id.
  bool isValid() const override;
  // Event logs, equal as the base and in their ids; typed properties do not count.
  bool isEqual(const TLAbstractLog& other) const override;
  std::vector<std::string> classesForCoder() const override {
    return {kClassName, TLLogWithNameAndProperties::kClassName, TLLogWithProperties::kClassName,
            TLAbstractLog::kClassName};
  }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;

  // The envelope of the base, named after the event, with data and metadata from the typed
  // properties and the event's tag.
  std::shared_ptr<TLEventSchemaLog> toEventSchemaLogForTargetToken(const std::string& token,
                                                                   std::uint64_t flags) const override;
  // Fills the envelope's data and metadata from the typed properties (which may lose the baseType
  // and baseData entries that break their rules).
  void setPropertiesAndMetadataForCSLog(TLEventSchemaLog& log) const;
  // Adds one property at its dotted path; a property that loses a conflict leaves no metadata.
  void addTypedProperty(const TLTypedProperty& property, nlohmann::json& metadata,
                        nlohmann::json& properties) const;
  // Stores the value under the key of the node; false when the key is taken.
  static bool addTypedPropertyToPropertyTree(const TLTypedProperty& property, nlohmann::json& node,
                                             const std::string& key);

  // Type name of a typed property → Event Schema metadata type id; the same table for every log.
  const std::map<std::string, int>& metadataTypeIdMapping() const;

  TL_PROPERTY(String, eventId, setEventId)
  TL_PROPERTY(std::shared_ptr<TLEventProperties>, typedProperties, setTypedProperties)
};

// The start of a usage session; its "sid" is the new session's id.
class TLStartSessionLog : public TLAbstractLog, public TLNoAutoAssignSessionIdLog {
 public:
  static constexpr const char* kClassName = "TLStartSessionLog";
  static constexpr const char* kType = "startSession";

  TLStartSessionLog() { setType(kType); }
  static std::shared_ptr<TLStartSessionLog> init() { return std::make_shared<TLStartSessionLog>(); }
  static std::shared_ptr<TLStartSessionLog> initWithCoder(platform::KeyedUnarchiver& coder);

  bool isEqual(const TLAbstractLog& other) const override;
  std::vector<std::string> classesForCoder() const override {
    return {kClassName, TLAbstractLog::kClassName};
  }
};

// Registers the analytics log classes for keyed archives (once per process).
void TLRegisterAnalyticsArchivedClasses();
