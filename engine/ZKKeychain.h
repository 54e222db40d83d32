#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace platform {
class SecretStore;
}

// The store of secure option values: one secret per key (the option's uid) under the application's
// name, kept in the platform's secret store and never in the groups archive. A value is stored as the
// keyed archive of its text. Lookups that fail give nullopt or false; writes report what really
// happened, and a failed write is logged.
class ZKKeychain {
 public:
  // Lookup statuses.
  static constexpr std::int32_t kStatusSuccess = 0;
  static constexpr std::int32_t errSecItemNotFound = -25300;
  static constexpr std::int32_t errSecParam = -50;
  static constexpr std::int32_t errSecIO = -36;

  // The application's store, made on first use (safe from any thread).
  static std::shared_ptr<ZKKeychain> sharedHelper();
  // Replaces the shared store (tests install one over a memory store); nullptr makes a new default
  // on the next use.
  static void setSharedHelper(std::shared_ptr<ZKKeychain> helper);

  ZKKeychain(std::shared_ptr<platform::SecretStore> store, std::string serviceName);

  const std::string& serviceName() const { return serviceName_; }

  // 0 when an item exists for the key, errSecItemNotFound when none does, another status when the
  // store cannot answer.
  std::int32_t valueStatusForKey(const std::string& key) const;
  bool hasValueForKey(const std::string& key) const;
  // Writes the value (replacing an existing item); nullopt removes the item. False for an empty key,
  // when the lookup fails, or when the store refuses the write.
  bool setSecureValue(const std::optional<std::string>& value, const std::string& key);
  // The stored text, or nullopt when there is none (or it cannot be read).
  std::optional<std::string> secureValueForKey(const std::string& key) const;
  // False when there is no item; otherwise deletes it and answers whether that worked.
  bool removeSecureValueForKey(const std::string& key);

 private:
  std::shared_ptr<platform::SecretStore> store_;
  std::string serviceName_;
};
