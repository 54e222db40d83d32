#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "Telemetry/Internals/Util/TLClock.h"
#include "Telemetry/Internals/Util/TLUserDefaults.h"
#include "platform/Data.h"
#include "platform/SecretStore.h"

inline constexpr const char* kTLEncryptionKeyTag = "kTLEncryptionKeyTag";
inline constexpr const char* kTLEncryptionKeyTagAlternate = "kTLEncryptionKeyTagAlternate";
inline constexpr const char* kTLEncryptionKeyMetadataKey = "TLEncryptionKeyMetadata";

// AES-256-CBC with PKCS7 padding under two keys kept in the secret store that take turns yearly;
// the current one is recorded with its expiry under "TLEncryptionKeyMetadata". Cipher data is
// "<tag>/AES/CBC/PKCS7/32" ":" IV(16) cipher text; data without that header is the legacy form
// (the original key and a zero IV).
class TLEncrypter {
 public:
  // Over the application's secret store, the shared settings and the system clock.
  TLEncrypter();
  TLEncrypter(std::shared_ptr<platform::SecretStore> secrets, std::shared_ptr<TLUserDefaults> settings,
              TLClock clock);

  std::optional<std::string> encryptString(const std::string& string);
  std::optional<platform::Data> encryptData(const platform::Data& data);
  // nullopt for bad Base64, data that does not decrypt, or text that is not UTF-8 (logged).
  std::optional<std::string> decryptString(const std::string& string);
  std::optional<platform::Data> decryptData(const platform::Data& data);

  // The key of the tag: the cached one, else the stored one. Only when the store answers that there
  // is no such item, and `create` is true, a new key is made and added (a key added meanwhile by
  // someone else wins). nullopt on any store failure or a damaged stored key.
  std::optional<platform::Data> getKeyWithKeyTag(const std::string& tag, bool create = true);
  // The tag to encrypt with, rotating when the record is missing, expired or damaged.
  std::string getCurrentKeyTag();
  void rotateToNewKeyTag(const std::string& tag);

  // 0 encrypt, 1 decrypt; nullopt on failure (logged).
  static std::optional<platform::Data> performCryptoOperation(int operation, const platform::Data& input,
                                                              const std::optional<platform::Data>& iv,
                                                              const platform::Data& key);
  static std::optional<platform::Data> generateInitializationVector();
  static std::string getMetadataStringWithKeyTag(const std::string& tag);

 private:
  std::shared_ptr<platform::SecretStore> secrets() const;

  std::shared_ptr<platform::SecretStore> secrets_;
  std::shared_ptr<TLUserDefaults> settings_;
  TLClock clock_;
  std::mutex cacheMutex_;
  std::optional<platform::Data> originalKeyData_;
  std::optional<platform::Data> alternateKeyData_;
};
