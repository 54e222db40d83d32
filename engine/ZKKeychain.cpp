// Interim: keeps the secrets in memory until the platform secret store is merged.
#include "engine/ZKKeychain.h"

#include <map>
#include <mutex>

namespace {
std::mutex& interimMutex() {
  static std::mutex m;
  return m;
}
std::map<std::string, std::string>& interimItems() {
  static std::map<std::string, std::string> items;
  return items;
}
std::shared_ptr<ZKKeychain>& sharedSlot() {
  static std::shared_ptr<ZKKeychain> slot;
  return slot;
}
}  // namespace

std::shared_ptr<ZKKeychain> ZKKeychain::sharedHelper() {
  std::lock_guard lock(interimMutex());
  if (!sharedSlot()) sharedSlot() = std::make_shared<ZKKeychain>(nullptr, "Quorvane Dashboard");
  return sharedSlot();
}

void ZKKeychain::setSharedHelper(std::shared_ptr<ZKKeychain> helper) {
  std::lock_guard lock(interimMutex());
  sharedSlot() = std::move(helper);
}

ZKKeychain::ZKKeychain(std::shared_ptr<platform::SecretStore> store, std::string serviceName)
    : store_(std::move(store)), serviceName_(std::move(serviceName)) {}

std::int32_t ZKKeychain::valueStatusForKey(const std::string& key) const {
  std::lock_guard lock(interimMutex());
  return interimItems().count(serviceName_ + "\n" + key) ? kStatusSuccess : errSecItemNotFound;
}

bool ZKKeychain::hasValueForKey(const std::string& key) const { return valueStatusForKey(key) == kStatusSuccess; }

bool ZKKeychain::setSecureValue(const std::optional<std::string>& value, const std::string& key) {
  if (key.empty()) return false;
  if (!value) return removeSecureValueForKey(key);
  std::lock_guard lock(interimMutex());
  interimItems()[serviceName_ + "\n" + key] = *value;
  return true;
}

std::optional<std::string> ZKKeychain::secureValueForKey(const std::string& key) const {
  std::lock_guard lock(interimMutex());
  auto it = interimItems().find(serviceName_ + "\n" + key);
  if (it == interimItems().end()) return std::nullopt;
  return it->second;
}

bool ZKKeychain::removeSecureValueForKey(const std::string& key) {
  std::lock_guard lock(interimMutex());
  return interimItems().erase(serviceName_ + "\n" + key) > 0;
}
