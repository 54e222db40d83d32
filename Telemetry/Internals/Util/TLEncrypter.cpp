#include "Telemetry/Internals/Util/TLEncrypter.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>

#include "Telemetry/Internals/Util/TLKeychainUtil.h"
#include "Telemetry/Internals/Util/TLLogger.h"
#include "Telemetry/Internals/Util/TLUtility.h"
#include "platform/Base64.h"
#include "platform/Utf8.h"

namespace {

constexpr std::size_t kKeySize = 32;
constexpr std::size_t kBlockSize = 16;
constexpr double kKeyLifetime = 31536000;  // 365 days

// One lock for every encrypter: one expiry causes one rotation, one tag never gets two keys.
std::mutex gEncrypterMutex;

bool isKnownTag(const std::string& tag) {
  return tag == kTLEncryptionKeyTag || tag == kTLEncryptionKeyTagAlternate;
}

}  // namespace

TLEncrypter::TLEncrypter() : TLEncrypter(nullptr, TLUserDefaults::shared(), TLSystemClock()) {}

TLEncrypter::TLEncrypter(std::shared_ptr<platform::SecretStore> secrets,
                         std::shared_ptr<TLUserDefaults> settings, TLClock clock)
    : secrets_(std::move(secrets)), settings_(std::move(settings)), clock_(std::move(clock)) {}

std::shared_ptr<platform::SecretStore> TLEncrypter::secrets() const {
  return secrets_ ? secrets_ : platform::SecretStore::shared();
}

std::string TLEncrypter::getMetadataStringWithKeyTag(const std::string& tag) {
  return tag + "/AES/CBC/PKCS7/32";
}

std::string TLEncrypter::getCurrentKeyTag() {
  std::lock_guard lock(gEncrypterMutex);
  auto record = settings_->objectForKey(kTLEncryptionKeyMetadataKey);
  const std::string* text = record ? record->asString() : nullptr;
  if (!text) {
    rotateToNewKeyTag(kTLEncryptionKeyTagAlternate);
    return kTLEncryptionKeyTagAlternate;
  }
  auto slash = text->find('/');
  std::string tag = text->substr(0, slash);
  std::optional<platform::Date> expiry;
  if (slash != std::string::npos)
    expiry = TLUtility::dateFromISO8601(std::string_view(*text).substr(slash + 1));
  // A record without "/", with a bad date or with a tag of no key of ours counts as expired.
  if (expiry && isKnownTag(tag) && clock_() <= *expiry) return tag;
  std::string next = tag == kTLEncryptionKeyTag ? kTLEncryptionKeyTagAlternate : kTLEncryptionKeyTag;
  rotateToNewKeyTag(next);
  return next;
}

void TLEncrypter::rotateToNewKeyTag(const std::string& tag) {
  auto expiry = clock_().addingTimeInterval(kKeyLifetime);
  settings_->setObject(platform::PropertyList(tag + "/" + TLUtility::dateToISO8601(expiry)),
                       kTLEncryptionKeyMetadataKey);
}

std::optional<platform::Data> TLEncrypter::getKeyWithKeyTag(const std::string& tag, bool create) {
  if (!isKnownTag(tag)) return std::nullopt;
  bool original = tag == kTLEncryptionKeyTag;
  {
    std::lock_guard lock(cacheMutex_);
    auto& cached = original ? originalKeyData_ : alternateKeyData_;
    if (cached) return cached;
  }
  auto store = secrets();
  const std::string service = TLKeychainUtil::serviceName();
  // The stored key, or nullopt with the store's status.
  auto readKey = [&](platform::OSStatus* status) -> std::optional<platform::Data> {
    auto text = TLKeychainUtil::stringForKey(tag, service, store.get(), status);
    if (!text) return std::nullopt;
    auto key = platform::base64Decode(*text);
    if (!key || key->size() != kKeySize) {
      TLLogError(kTLLogTag, "The stored encryption key \"{}\" is damaged.", tag);
      *status = platform::errSecParam;
      return std::nullopt;
    }
    return key;
  };

  platform::OSStatus status = platform::errSecSuccess;
  std::optional<platform::Data> key = readKey(&status);
  if (!key && status == platform::errSecItemNotFound && create) {
    std::lock_guard lock(gEncrypterMutex);
    key = readKey(&status);
    if (!key && status == platform::errSecItemNotFound) {
      platform::Data fresh(kKeySize);
      if (RAND_bytes(fresh.data(), static_cast<int>(fresh.size())) != 1) {
        TLLogError(kTLLogTag, "Error generating encryption key. Error code: {}", -1);
        return std::nullopt;
      }
      // Only added, never replaced: a key stored meanwhile by another process is the one to use.
      auto added =
          store->addGenericPassword(service, tag, platform::dataFromString(platform::base64Encode(fresh)));
      if (added == platform::errSecSuccess) {
        key = std::move(fresh);
      } else if (added == platform::errSecDuplicateItem) {
        key = readKey(&status);
      } else {
        TLLogError(kTLLogTag, "Could not store the encryption key \"{}\": status {}", tag, added);
      }
    }
  }
  if (!key) {
    if (status != platform::errSecSuccess && status != platform::errSecItemNotFound)
      TLLogError(kTLLogTag, "Could not read the encryption key \"{}\": status {}", tag, status);
    return std::nullopt;
  }
  std::lock_guard lock(cacheMutex_);
  (original ? originalKeyData_ : alternateKeyData_) = key;
  return key;
}

std::optional<platform::Data> TLEncrypter::generateInitializationVector() {
  platform::Data iv(kBlockSize);
  if (RAND_bytes(iv.data(), static_cast<int>(iv.size())) != 1) {
    TLLogError(kTLLogTag, "Error generating initialization vector. Error code: {}", -1);
    return std::nullopt;
  }
  return iv;
}

std::optional<platform::Data> TLEncrypter::performCryptoOperation(int operation, const platform::Data& input,
                                                                  const std::optional<platform::Data>& iv,
                                                                  const platform::Data& key) {
  if (key.size() != kKeySize || (iv && iv->size() != kBlockSize)) {
    TLLogError(kTLLogTag, "Error performing encryption or decryption.");
    return std::nullopt;
  }
  unsigned char zero[kBlockSize] = {};
  const unsigned char* ivBytes = iv ? iv->data() : zero;
  EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
  if (!context) {
    TLLogError(kTLLogTag, "Could not create NSData object from encrypted or decrypted bytes.");
    return std::nullopt;
  }
  platform::Data output(input.size() + kBlockSize + 1);
  int written = 0, last = 0;
  bool ok =
      EVP_CipherInit_ex(context, EVP_aes_256_cbc(), nullptr, key.data(), ivBytes, operation == 0 ? 1 : 0) ==
          1 &&
      EVP_CipherUpdate(context, output.data(), &written, input.data(), static_cast<int>(input.size())) == 1 &&
      EVP_CipherFinal_ex(context, output.data() + written, &last) == 1;
  EVP_CIPHER_CTX_free(context);
  if (!ok) {
    TLLogError(kTLLogTag, "Error performing encryption or decryption.");
    return std::nullopt;
  }
  output.resize(static_cast<std::size_t>(written + last));
  return output;
}

std::optional<platform::Data> TLEncrypter::encryptData(const platform::Data& data) {
  std::string tag = getCurrentKeyTag();
  auto key = getKeyWithKeyTag(tag, true);
  if (!key) return std::nullopt;
  auto iv = generateInitializationVector();
  if (!iv) return std::nullopt;
  auto cipher = performCryptoOperation(0, data, iv, *key);
  if (!cipher) return std::nullopt;
  platform::Data out = platform::dataFromString(getMetadataStringWithKeyTag(tag) + ":");
  out.insert(out.end(), iv->begin(), iv->end());
  out.insert(out.end(), cipher->begin(), cipher->end());
  return out;
}

std::optional<std::string> TLEncrypter::encryptString(const std::string& string) {
  auto data = encryptData(platform::dataFromString(string));
  if (!data) return std::nullopt;
  return platform::base64Encode(*data);
}

std::optional<platform::Data> TLEncrypter::decryptData(const platform::Data& data) {
  // The new form needs a header naming one of our keys, the IV and at least one whole block.
  auto colon = std::find(data.begin(), data.end(), static_cast<std::uint8_t>(':'));
  if (colon != data.end()) {
    std::string header(data.begin(), colon);
    auto slash = header.find('/');
    std::string tag = header.substr(0, slash);
    if (isKnownTag(tag) && header == getMetadataStringWithKeyTag(tag)) {
      auto ivStart = colon + 1;
      auto remaining = static_cast<std::size_t>(data.end() - ivStart);
      if (remaining < 2 * kBlockSize || (remaining - kBlockSize) % kBlockSize != 0) return std::nullopt;
      platform::Data iv(ivStart, ivStart + kBlockSize);
      platform::Data cipher(ivStart + kBlockSize, data.end());
      auto key = getKeyWithKeyTag(tag, false);
      if (!key) return std::nullopt;
      return performCryptoOperation(1, cipher, iv, *key);
    }
  }
  // Legacy: whole blocks under the original key with a zero IV.
  if (data.empty() || data.size() % kBlockSize != 0) return std::nullopt;
  auto key = getKeyWithKeyTag(kTLEncryptionKeyTag, false);
  if (!key) return std::nullopt;
  return performCryptoOperation(1, data, std::nullopt, *key);
}

std::optional<std::string> TLEncrypter::decryptString(const std::string& string) {
  auto data = platform::base64Decode(string);
  if (!data) {
    TLLogWarning(kTLLogTag, "Conversion of encrypted string to NSData failed.");
    return std::nullopt;
  }
  auto plain = decryptData(*data);
  if (!plain) return std::nullopt;
  std::string text = platform::stringFromData(*plain);
  if (!platform::utf8::isValid(text)) {
    TLLogWarning(kTLLogTag, "Converting decrypted NSData to NSString failed.");
    return std::nullopt;
  }
  return text;
}
