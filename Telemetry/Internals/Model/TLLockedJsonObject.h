#pragma once

#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>

#include "platform/KeyedArchiver.h"
#include "platform/KeyedUnarchiver.h"

// A JSON object or nothing, read and written under a lock (analytics may fill it while the pipeline
// reads it on its own queue), archived as the coder's one unkeyed value.
class TLLockedJsonObject {
 public:
  std::optional<nlohmann::json> get() const {
    std::lock_guard lock(mutex_);
    return value_;
  }
  // Anything but an object is not a dictionary of entries: it counts as nothing.
  void set(std::optional<nlohmann::json> value) {
    if (value && !value->is_object()) value.reset();
    std::lock_guard lock(mutex_);
    value_ = std::move(value);
  }
  void encode(platform::KeyedArchiver& coder) const {
    auto value = get();
    coder.encodeObject(value ? platform::ArchiveObject::fromJson(*value) : platform::ArchiveObject());
  }
  // Raises DecodingError when the archived value is not a dictionary.
  void decode(platform::KeyedUnarchiver& coder) {
    auto root = coder.decodeObject();
    if (root.isNil()) return set(std::nullopt);
    if (!root.asDictionary()) throw platform::DecodingError("an archived dictionary is something else");
    set(root.toJson());
  }
  // Both nothing, or equal objects.
  bool isEqual(const TLLockedJsonObject& other) const { return this == &other || get() == other.get(); }

 private:
  mutable std::mutex mutex_;
  std::optional<nlohmann::json> value_;
};
