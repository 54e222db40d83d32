#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "Telemetry/Internals/Model/TLLockedJsonObject.h"
#include "Telemetry/Internals/Model/TLSerializableObject.h"
#include "platform/KeyedUnarchiver.h"

// The context parts of an Event Schema log ("ext"). Each part writes the fields it holds under
// their JSON keys; serializeToDictionary() answers null when the part has nothing to write, so the
// extensions leave its key out. Every part is always valid.
class TLCSExtensionPart : public TLSerializableObject, public TLModel {
 public:
  using String = std::optional<std::string>;
  bool isValid() const override { return true; }
};

// Free-form metadata: its entries are written as they are. The dictionary is archived as the
// object's one unkeyed value.
class TLMetadataExtension : public TLCSExtensionPart {
 public:
  static constexpr const char* kClassName = "TLMetadataExtension";
  static std::shared_ptr<TLMetadataExtension> init() { return std::make_shared<TLMetadataExtension>(); }
  static std::shared_ptr<TLMetadataExtension> initWithCoder(platform::KeyedUnarchiver& coder);

  // Null without metadata; an empty metadata object is written as {}.
  nlohmann::json serializeToDictionary() const override;
  bool isEqual(const TLMetadataExtension& other) const;
  std::vector<std::string> classesForCoder() const override { return {kClassName}; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;

  // A JSON object or nothing (anything else counts as nothing); read and written under a lock.
  std::optional<nlohmann::json> metadata() const { return metadata_.get(); }
  void setMetadata(std::optional<nlohmann::json> metadata) { metadata_.set(std::move(metadata)); }

 private:
  TLLockedJsonObject metadata_;
};

class TLProtocolExtension : public TLCSExtensionPart {
 public:
  static constexpr const char* kClassName = "TLProtocolExtension";
  static std::shared_ptr<TLProtocolExtension> init() { return std::make_shared<TLProtocolExtension>(); }
  static std::shared_ptr<TLProtocolExtension> initWithCoder(platform::KeyedUnarchiver& coder);

  nlohmann::json serializeToDictionary() const override;
  bool isEqual(const TLProtocolExtension& other) const;
  std::vector<std::string> classesForCoder() const override { return {kClassName}; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;

  TL_PROPERTY(std::optional<std::vector<std::string>>, ticketKeys, setTicketKeys)
  TL_PROPERTY(String, devMake, setDevMake)
  TL_PROPERTY(String, devModel, setDevModel)
};

class TLUserExtension : public TLCSExtensionPart {
 public:
  static constexpr const char* kClassName = "TLUserExtension";
  static std::shared_ptr<TLUserExtension> init() { return std::make_shared<TLUserExtension>(); }
  static std::shared_ptr<TLUserExtension> initWithCoder(platform::KeyedUnarchiver& coder);

  nlohmann::json serializeToDictionary() const override;
  bool isEqual(const TLUserExtension& other) const;
  std::vector<std::string> classesForCoder() const override { return {kClassName}; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;

  TL_PROPERTY(String, localId, setLocalId)
  TL_PROPERTY(String, locale, setLocale)
};

class TLDeviceExtension : public TLCSExtensionPart {
 public:
  static constexpr const char* kClassName = "TLDeviceExtension";
  static std::shared_ptr<TLDeviceExtension> init() { return std::make_shared<TLDeviceExtension>(); }
  static std::shared_ptr<TLDeviceExtension> initWithCoder(platform::KeyedUnarchiver& coder);

  nlohmann::json serializeToDictionary() const override;
  bool isEqual(const TLDeviceExtension& other) const;
  std::vector<std::string> classesForCoder() const override { return {kClassName}; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;

  TL_PROPERTY(String, localId, setLocalId)
};

class TLOSExtension : public TLCSExtensionPart {
 public:
  static constexpr const char* kClassName = "TLOSExtension";
  static std::shared_ptr<TLOSExtension> init() { return std::make_shared<TLOSExtension>(); }
  static std::shared_ptr<TLOSExtension> initWithCoder(platform::KeyedUnarchiver& coder);

  nlohmann::json serializeToDictionary() const override;
  bool isEqual(const TLOSExtension& other) const;
  std::vector<std::string> classesForCoder() const override { return {kClassName}; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;

  TL_PROPERTY(String, name, setName)
  TL_PROPERTY(String, ver, setVer)
};

// The application; `appId` is written (and archived) as "id".
class TLAppExtension : public TLCSExtensionPart {
 public:
  static constexpr const char* kClassName = "TLAppExtension";
  static std::shared_ptr<TLAppExtension> init() { return std::make_shared<TLAppExtension>(); }
  static std::shared_ptr<TLAppExtension> initWithCoder(platform::KeyedUnarchiver& coder);

  nlohmann::json serializeToDictionary() const override;
  bool isEqual(const TLAppExtension& other) const;
  std::vector<std::string> classesForCoder() const override { return {kClassName}; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;

  TL_PROPERTY(String, appId, setAppId)
  TL_PROPERTY(String, ver, setVer)
  TL_PROPERTY(String, name, setName)
  TL_PROPERTY(String, locale, setLocale)
  TL_PROPERTY(String, userId, setUserId)
};

class TLNetExtension : public TLCSExtensionPart {
 public:
  static constexpr const char* kClassName = "TLNetExtension";
  static std::shared_ptr<TLNetExtension> init() { return std::make_shared<TLNetExtension>(); }
  static std::shared_ptr<TLNetExtension> initWithCoder(platform::KeyedUnarchiver& coder);

  nlohmann::json serializeToDictionary() const override;
  bool isEqual(const TLNetExtension& other) const;
  std::vector<std::string> classesForCoder() const override { return {kClassName}; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;

  TL_PROPERTY(String, provider, setProvider)
};

// The SDK; epoch, sequence number and install id are stamped by the Event Collector delegate.
// "seq" is written only when it is not 0; the install id as its upper-case text.
class TLSDKExtension : public TLCSExtensionPart {
 public:
  static constexpr const char* kClassName = "TLSDKExtension";
  static std::shared_ptr<TLSDKExtension> init() { return std::make_shared<TLSDKExtension>(); }
  static std::shared_ptr<TLSDKExtension> initWithCoder(platform::KeyedUnarchiver& coder);

  nlohmann::json serializeToDictionary() const override;
  bool isEqual(const TLSDKExtension& other) const;
  std::vector<std::string> classesForCoder() const override { return {kClassName}; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;

  TL_PROPERTY(String, libVer, setLibVer)
  TL_PROPERTY(String, epoch, setEpoch)
  TL_PROPERTY(std::int64_t, seq, setSeq)
  TL_PROPERTY(std::optional<platform::UUIDBytes>, installId, setInstallId)
};

class TLLocExtension : public TLCSExtensionPart {
 public:
  static constexpr const char* kClassName = "TLLocExtension";
  static std::shared_ptr<TLLocExtension> init() { return std::make_shared<TLLocExtension>(); }
  static std::shared_ptr<TLLocExtension> initWithCoder(platform::KeyedUnarchiver& coder);

  nlohmann::json serializeToDictionary() const override;
  bool isEqual(const TLLocExtension& other) const;
  std::vector<std::string> classesForCoder() const override { return {kClassName}; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;

  TL_PROPERTY(String, tz, setTz)
};

// Both absent, or both present and equal.
template <typename Part>
bool TLSamePart(const std::shared_ptr<Part>& a, const std::shared_ptr<Part>& b) {
  if (!a || !b) return !a && !b;
  return a->isEqual(*b);
}
