#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "Telemetry/Internals/Model/TLDevice.h"
#include "Telemetry/Internals/Model/TLSerializableObject.h"
#include "platform/Date.h"
#include "platform/KeyedUnarchiver.h"

class TLEventSchemaLog;

// The base of every telemetry log: type, time stamp, session, user and the device that produced
// it, with a JSON form, a validity rule, equality and keyed coding that each log kind extends.
// Every log kind derives from it, so it also serves as the log interface the pipeline uses.
class TLAbstractLog : public TLSerializableObject, public TLModel {
 public:
  static constexpr const char* kClassName = "TLAbstractLog";
  using String = std::optional<std::string>;
  using TokenSet = std::set<std::string>;

  TLAbstractLog() = default;
  TLAbstractLog(const TLAbstractLog&) = delete;
  TLAbstractLog& operator=(const TLAbstractLog&) = delete;
  static std::shared_ptr<TLAbstractLog> init() { return std::make_shared<TLAbstractLog>(); }
  static std::shared_ptr<TLAbstractLog> initWithCoder(platform::KeyedUnarchiver& coder);

  // "type", "timestamp", "sid", "distributionGroupId", "userId" and "device", each when present.
  nlohmann::json serializeToDictionary() const override;
  // The JSON form as it is written out: the dictionary, unless a kind keeps its members in an
  // order of its own.
  virtual nlohmann::ordered_json serializeToOrderedJson() const { return serializeToDictionary(); }
  // Type and time stamp present, and a valid device.
  bool isValid() const override;
  // Same kind (or a subclass); tag, type, timestamp, sid, distributionGroupId, userId and device
  // equal. Target tokens are not compared.
  virtual bool isEqual(const TLAbstractLog& other) const;
  std::vector<std::string> classesForCoder() const override { return {kClassName}; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;

  // The JSON text of serializeToOrderedJson(), compact or indented.
  std::optional<std::string> serializeLogWithPrettyPrinting(bool prettyPrint) const;

  // The current token set (null until the first token is added). A set handed out never changes
  // afterwards: adding replaces it.
  std::shared_ptr<const TokenSet> transmissionTargetTokens() const;
  void addTransmissionTargetToken(const std::string& token);
  void setTransmissionTargetTokens(std::shared_ptr<const TokenSet> tokens);

  // Event Schema forms: one log per transmission target token (in the set's order), or nothing when
  // the log has no token.
  std::optional<std::vector<std::shared_ptr<TLEventSchemaLog>>> toEventSchemaLogsWithFlags(
      std::uint64_t flags) const;
  // The log for one token: envelope and context parts from the log and its device. Log kinds that
  // carry more call this first and add their own fields.
  virtual std::shared_ptr<TLEventSchemaLog> toEventSchemaLogForTargetToken(const std::string& token,
                                                                           std::uint64_t flags) const;
  // "Version <version>", then " (Build <build>)" when there is a build; nothing without a version.
  static std::optional<std::string> combineOsVersion(const String& version, const String& build);
  // "<name>-<version>" when both are present and not empty.
  static std::optional<std::string> combineSDKLibVer(const String& name, const String& version);
  // "+05:30" for 330 minutes east of UTC, "-00:30" for -30.
  static std::string convertTimeZoneOffsetToISO8601(std::int64_t minutes);

  // The object that created the log (compared by identity, never serialised or archived).
  const std::shared_ptr<void>& tag() const { return tag_; }
  void setTag(std::shared_ptr<void> tag) { tag_ = std::move(tag); }
  const std::shared_ptr<TLDevice>& device() const { return device_; }
  void setDevice(std::shared_ptr<TLDevice> device) { device_ = std::move(device); }

  TL_PROPERTY(String, type, setType)
  TL_PROPERTY(std::optional<platform::Date>, timestamp, setTimestamp)
  TL_PROPERTY(String, sid, setSid)
  TL_PROPERTY(String, distributionGroupId, setDistributionGroupId)
  TL_PROPERTY(String, userId, setUserId)

 protected:
  void decodeFields(platform::KeyedUnarchiver& coder);

 private:
  std::shared_ptr<TLDevice> device_;
  std::shared_ptr<void> tag_;
  mutable std::mutex tokensMutex_;
  std::shared_ptr<const TokenSet> transmissionTargetTokens_;
};

// What the pipeline handles: any log kind.
using TLLog = TLAbstractLog;
