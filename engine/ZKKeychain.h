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
//
// Every operation waits for the secret store, which may wait on the user (a keyring prompt): the
// application calls them on the secret store's queue (platform::SecretStore::queue), never on the
// main thread.
class ZKKeychain {
 public:
  // The service under which the application's items are kept: the application's name.
  static constexpr const char* kDefaultServiceName = "Quorvane Dashboard";

  // The application's store, made on first use (safe from any thread). It works on the platform's
  // shared secret store as that stands at each call, so tests can install a memory store there.
  static std::shared_ptr<ZKKeychain> sharedHelper();

  // A store under the service name over the given secret store (nullptr: the platform's shared one).
  ZKKeychain(std::shared_ptr<platform::SecretStore> store, std::string serviceName);

  const std::string& serviceName() const { return serviceName_; }

  // 0 when an item exists for the key, -25300 (errSecItemNotFound) when none does, another status
  // when the store cannot answer (-50 for an empty key).
  std::int32_t valueStatusForKey(const std::string& key) const;
  bool hasValueForKey(const std::string& key) const;
  // Writes the value, replacing the data of an existing item; nullopt removes the item. False for an
  // empty key, when the lookup fails for another reason than a missing item, or when the store
  // refuses the write (logged).
  bool setSecureValue(const std::optional<std::string>& value, const std::string& key);
  // The same write, answering the store's status: 0 when written (or removed), errSecItemNotFound
  // when there was nothing to remove, else why the store refused (statusDescription tells it).
  std::int32_t writeSecureValue(const std::optional<std::string>& value, const std::string& key);
  // The stored text, or nullopt when there is none (or it cannot be read); `status` (when given)
  // receives the store's answer, so that "none" can be told from a failure.
  std::optional<std::string> secureValueForKey(const std::string& key, std::int32_t* status = nullptr) const;
  // False when there is no item; otherwise deletes it and answers whether that worked.
  bool removeSecureValueForKey(const std::string& key);

 private:
  std::shared_ptr<platform::SecretStore> store() const;

  std::shared_ptr<platform::SecretStore> store_;
  std::string serviceName_;
};
