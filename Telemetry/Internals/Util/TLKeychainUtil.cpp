#include "Telemetry/Internals/Util/TLKeychainUtil.h"

#include "platform/Bundle.h"
#include "platform/Utf8.h"

namespace {

platform::SecretStore& storeOr(platform::SecretStore* store, std::shared_ptr<platform::SecretStore>& holder) {
  if (store) return *store;
  holder = platform::SecretStore::shared();
  return *holder;
}
}  // namespace

std::string TLKeychainUtil::serviceName() {
  static const std::string name = platform::Bundle::bundleIdentifier() + ".Telemetry";
  return name;
}

bool TLKeychainUtil::storeString(const std::string& string, const std::string& key,
                                 const std::string& service, platform::SecretStore* store) {
  std::shared_ptr<platform::SecretStore> holder;
  auto& secrets = storeOr(store, holder);
  auto data = platform::dataFromString(string);
  platform::OSStatus status = secrets.addGenericPassword(service, key, data);
  if (status == platform::errSecDuplicateItem) {
    secrets.deleteGenericPassword(service, key);
    status = secrets.addGenericPassword(service, key, data);
  }
  return status == platform::errSecSuccess;
}

std::optional<std::string> TLKeychainUtil::stringForKey(const std::string& key, const std::string& service,
                                                        platform::SecretStore* store,
                                                        platform::OSStatus* status) {
  std::shared_ptr<platform::SecretStore> holder;
  auto& secrets = storeOr(store, holder);
  platform::Data data;
  platform::OSStatus result = secrets.findGenericPassword(service, key, &data);
  if (status) *status = result;
  if (result != platform::errSecSuccess) return std::nullopt;
  std::string text = platform::stringFromData(data);
  if (!platform::utf8::isValid(text)) return std::nullopt;
  return text;
}

std::optional<std::string> TLKeychainUtil::deleteStringForKey(const std::string& key,
                                                              const std::string& service,
                                                              platform::SecretStore* store) {
  std::shared_ptr<platform::SecretStore> holder;
  auto& secrets = storeOr(store, holder);
  auto current = stringForKey(key, service, &secrets);
  if (!current) return std::nullopt;
  if (secrets.deleteGenericPassword(service, key) != platform::errSecSuccess) return std::nullopt;
  return current;
}

bool TLKeychainUtil::clear(const std::string& service, platform::SecretStore* store) {
  std::shared_ptr<platform::SecretStore> holder;
  auto status = storeOr(store, holder).deleteAllGenericPasswords(service);
  return status == platform::errSecSuccess || status == platform::errSecItemNotFound;
}
