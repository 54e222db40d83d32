#include "engine/ZKKeychain.h"

#include "platform/KeyedArchiver.h"
#include "platform/KeyedUnarchiver.h"
#include "platform/Log.h"
#include "platform/SecretStore.h"

std::shared_ptr<ZKKeychain> ZKKeychain::sharedHelper() {
  static const std::shared_ptr<ZKKeychain> helper =
      std::make_shared<ZKKeychain>(nullptr, kDefaultServiceName);
  return helper;
}

ZKKeychain::ZKKeychain(std::shared_ptr<platform::SecretStore> store, std::string serviceName)
    : store_(std::move(store)), serviceName_(std::move(serviceName)) {}

std::shared_ptr<platform::SecretStore> ZKKeychain::store() const {
  return store_ ? store_ : platform::SecretStore::shared();
}

std::int32_t ZKKeychain::valueStatusForKey(const std::string& key) const {
  if (key.empty()) return platform::errSecParam;
  return store()->findGenericPassword(serviceName_, key);
}

bool ZKKeychain::hasValueForKey(const std::string& key) const {
  return valueStatusForKey(key) == platform::errSecSuccess;
}

bool ZKKeychain::setSecureValue(const std::optional<std::string>& value, const std::string& key) {
  return writeSecureValue(value, key) == platform::errSecSuccess;
}

std::int32_t ZKKeychain::writeSecureValue(const std::optional<std::string>& value, const std::string& key) {
  if (key.empty()) return platform::errSecParam;
  auto secrets = store();
  if (!value) {
    platform::OSStatus status = valueStatusForKey(key);
    if (status == platform::errSecSuccess) status = secrets->deleteGenericPassword(serviceName_, key);
    if (status != platform::errSecSuccess && status != platform::errSecItemNotFound) {
      platform::log("Could not remove the secure value {} from the {} store: status {} ({})", key,
                    secrets->storeKind(), status, platform::SecretStore::statusDescription(status));
    }
    return status;
  }
  platform::Data data = platform::KeyedArchiver::archivedDataWithRootObject(platform::ArchiveObject(*value));
  platform::OSStatus status = secrets->findGenericPassword(serviceName_, key);
  if (status == platform::errSecSuccess) {
    status = secrets->updateGenericPassword(serviceName_, key, data);
  } else if (status == platform::errSecItemNotFound) {
    status = secrets->addGenericPassword(serviceName_, key, data);
    // Added by someone else since the lookup: replace it.
    if (status == platform::errSecDuplicateItem)
      status = secrets->updateGenericPassword(serviceName_, key, data);
  } else {
    platform::log("Could not look up the secure value {} in the {} store: status {} ({})", key,
                  secrets->storeKind(), status, platform::SecretStore::statusDescription(status));
    return status;
  }
  if (status != platform::errSecSuccess) {
    platform::log("Could not save the secure value {} in the {} store: status {} ({})", key,
                  secrets->storeKind(), status, platform::SecretStore::statusDescription(status));
  }
  return status;
}

std::optional<std::string> ZKKeychain::secureValueForKey(const std::string& key, std::int32_t* status) const {
  if (status) *status = platform::errSecParam;
  if (key.empty()) return std::nullopt;
  platform::Data data;
  platform::OSStatus found = store()->findGenericPassword(serviceName_, key, &data);
  if (status) *status = found;
  if (found != platform::errSecSuccess) return std::nullopt;
  platform::ArchiveObject value = platform::KeyedUnarchiver::unarchiveTopLevelObjectWithData(data);
  if (const std::string* text = value.asString()) return *text;
  return std::nullopt;
}

bool ZKKeychain::removeSecureValueForKey(const std::string& key) {
  if (!hasValueForKey(key)) return false;
  return store()->deleteGenericPassword(serviceName_, key) == platform::errSecSuccess;
}
