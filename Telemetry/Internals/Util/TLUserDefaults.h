#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/PropertyList.h"
#include "platform/SettingsStore.h"

// The telemetry SDK's one door to the settings store: plain get, set and remove, and a merging
// update of dictionary values that writes only what changed and stamps the stored dictionary with
// "_ts", the time of the last write in seconds since 2001-01-01 UTC.
class TLUserDefaults {
 public:
  // The shared instance works on platform::SettingsStore::standardUserDefaults(), looked up at
  // each call, so a store installed later (tests) is the one used.
  static std::shared_ptr<TLUserDefaults> shared();
  // An instance over the given store.
  static std::shared_ptr<TLUserDefaults> userDefaultsWithStore(
      std::shared_ptr<platform::SettingsStore> store);

  std::optional<platform::PropertyList> objectForKey(std::string_view key) const;
  // The value under the key read as a flag: a boolean as it is, an integer or a real by being
  // non-zero; nullopt when there is none or it is of another type.
  std::optional<bool> flagForKey(std::string_view key) const;
  void setObject(const platform::PropertyList& object, std::string_view key);
  void removeObjectForKey(std::string_view key);

  // Merges the entries into the dictionary stored under the key and returns the entries written:
  // those whose stored value differs, or all of them when the stored "_ts" is at least
  // `expiration` seconds away from now (expiration > 0).
  platform::PropertyList::Dictionary updateDictionary(const platform::PropertyList::Dictionary& dictionary,
                                                      std::string_view key, double expiration = 0);
  // The merging update of {"v": object}; true when "v" was written.
  bool updateObject(const platform::PropertyList& object, std::string_view key, double expiration = 0);

  explicit TLUserDefaults(std::shared_ptr<platform::SettingsStore> store) : store_(std::move(store)) {}

 private:
  std::shared_ptr<platform::SettingsStore> store() const;
  std::shared_ptr<platform::SettingsStore> store_;
};

// Key of the time stamp of a merged dictionary.
inline constexpr const char* kTLUserDefaultsTimestampKey = "_ts";
