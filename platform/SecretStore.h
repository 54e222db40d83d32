#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/Data.h"
#include "platform/Error.h"

namespace platform {

// Keychain status codes, as the callers of the keychain test them.
using OSStatus = std::int32_t;
inline constexpr OSStatus errSecSuccess = 0;
inline constexpr OSStatus errSecParam = -50;            // a service or account that is not valid UTF-8
inline constexpr OSStatus errSecIO = -36;               // the store's file could not be read or written
inline constexpr OSStatus errSecNotAvailable = -25291;  // the Secret Service did not answer
inline constexpr OSStatus errSecDuplicateItem = -25299;
inline constexpr OSStatus errSecItemNotFound = -25300;
inline constexpr OSStatus errSecInteractionNotAllowed = -25308;  // the keyring is locked

// The keychain stand-in: generic-password items, one secret (any bytes) per service and account.
// Implementations:
// - the Secret Service (GNOME Keyring, KWallet, KeePassXC) through libsecret; items carry the
//   attributes "service" and "account";
// - a file store where no Secret Service answers: a binary property list of mode 0600 in a folder
//   of mode 0700, written atomically (the secrets are protected by file permissions only);
// - a memory store for tests.
// All are safe to use from several threads.
class SecretStore {
 public:
  virtual ~SecretStore() = default;

  // errSecSuccess, with the secret when `password` is not null, or errSecItemNotFound.
  OSStatus findGenericPassword(const std::string& service, const std::string& account, Data* password = nullptr);
  // Adds an item; errSecDuplicateItem (and no change) when the item exists.
  OSStatus addGenericPassword(const std::string& service, const std::string& account, const Data& password);
  // Replaces an item's secret; errSecItemNotFound when there is no such item.
  OSStatus updateGenericPassword(const std::string& service, const std::string& account, const Data& password);
  // Deletes an item; errSecItemNotFound when there is no such item.
  OSStatus deleteGenericPassword(const std::string& service, const std::string& account);
  // Deletes every item of the service; errSecItemNotFound when there was none.
  OSStatus deleteAllGenericPasswords(const std::string& service);

  // "Secret Service", "file" or "memory".
  virtual std::string storeKind() const = 0;

  // The application's store, made on first use: the Secret Service when one answers on the
  // session bus, else the file store at standardFilePath() (announced once in the log).
  static std::shared_ptr<SecretStore> shared();
  // Replaces the application's store (tests install a memory store; nullptr chooses again).
  static void setShared(std::shared_ptr<SecretStore> store);

  // The Secret Service on the session bus, or nullptr (with the reason) when none answers.
  static std::shared_ptr<SecretStore> secretServiceStore(Error* error = nullptr);
  static std::shared_ptr<SecretStore> fileStore(const std::filesystem::path& path);
  // $XDG_DATA_HOME/<bundle id>-secrets/secrets.plist: beside the application-support folder, so
  // that backups of that folder never carry secrets.
  static std::filesystem::path standardFilePath();
  static std::shared_ptr<SecretStore> memoryStore();

 protected:
  // The operations proper; arguments are checked before they are called.
  virtual OSStatus find(const std::string& service, const std::string& account, Data* password) = 0;
  virtual OSStatus add(const std::string& service, const std::string& account, const Data& password) = 0;
  virtual OSStatus update(const std::string& service, const std::string& account, const Data& password) = 0;
  virtual OSStatus remove(const std::string& service, const std::string& account) = 0;
  virtual OSStatus removeAll(const std::string& service) = 0;
};

}  // namespace platform
