#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Telemetry/Internals/Model/TLTypedProperty.h"
#include "platform/ArchiveObject.h"
#include "platform/Date.h"
#include "platform/KeyedUnarchiver.h"

// The typed properties of an event, by name. A second value for a name replaces the first in its
// place; names are visited in the order they were first set. The setters refuse (and log) a missing
// key, a missing string or date, and a double that is not finite, and return the bag itself.
class TLEventProperties : public platform::Coding {
 public:
  static constexpr const char* kClassName = "TLEventProperties";
  using Key = std::optional<std::string>;
  using Entries = std::vector<std::pair<std::string, std::shared_ptr<TLTypedProperty>>>;

  TLEventProperties() = default;
  TLEventProperties(const TLEventProperties&) = delete;
  TLEventProperties& operator=(const TLEventProperties&) = delete;
  static std::shared_ptr<TLEventProperties> init() { return std::make_shared<TLEventProperties>(); }
  // One string property per pair, unchecked.
  static std::shared_ptr<TLEventProperties> initWithStringDictionary(
      const std::map<std::string, std::string>& values);
  // Over entries whose keys are distinct, in their order, taken as they are.
  static std::shared_ptr<TLEventProperties> initWithEntries(Entries entries);
  static std::shared_ptr<TLEventProperties> initWithCoder(platform::KeyedUnarchiver& coder);

  TLEventProperties& setString(const std::optional<std::string>& value, const Key& key);
  TLEventProperties& setDouble(double value, const Key& key);
  TLEventProperties& setInt64(std::int64_t value, const Key& key);
  TLEventProperties& setBool(bool value, const Key& key);
  TLEventProperties& setDate(const std::optional<platform::Date>& value, const Key& key);

  // The properties' own dictionaries, in order.
  nlohmann::json serializeToArray() const;
  bool isEmpty() const;
  std::size_t count() const;
  // The same names with equal typed values.
  bool isEqual(const TLEventProperties& other) const;
  // Copies every entry of the other bag into this one; equal names take the other's value.
  void mergeEventProperties(const TLEventProperties& other);

  // A snapshot of the entries, in order.
  Entries entries() const;
  std::shared_ptr<TLTypedProperty> propertyForKey(const std::string& key) const;
  bool hasKey(const std::string& key) const;
  // Stores the property under the key (replacing an equal key in its place).
  void setProperty(const std::string& key, std::shared_ptr<TLTypedProperty> property);
  void removePropertyForKey(const std::string& key);
  // Removes every entry whose name starts with the prefix; answers how many went.
  std::size_t removePropertiesWithPrefix(const std::string& prefix);

  static bool validateKey(const Key& key);
  static bool validateValue(bool present);

  std::vector<std::string> classesForCoder() const override { return {kClassName}; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;

 private:
  void store(const std::string& key, std::shared_ptr<TLTypedProperty> property);  // caller holds mutex_

  mutable std::mutex mutex_;
  Entries properties_;
};
