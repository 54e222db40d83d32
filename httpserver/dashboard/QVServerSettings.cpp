#include "httpserver/dashboard/QVServerSettings.h"

#include "platform/SettingsStore.h"

namespace QVServerSettings {

void registerDefaults() {
  platform::SettingsStore::standardUserDefaults()->registerDefaults(
      {{kServerEnabledKey, false}, {kServerPortKey, kDefaultServerPort}});
}

// Read with the defaults applied here too, so that a store without registered defaults (a tool, a
// test) reads the same values.
bool serverEnabled() {
  auto store = platform::SettingsStore::standardUserDefaults();
  return store->objectForKey(kServerEnabledKey) ? store->boolForKey(kServerEnabledKey) : false;
}

void setServerEnabled(bool enabled) {
  auto store = platform::SettingsStore::standardUserDefaults();
  store->setBool(enabled, kServerEnabledKey);
  store->synchronize();
}

std::int64_t serverPort() {
  auto store = platform::SettingsStore::standardUserDefaults();
  return store->objectForKey(kServerPortKey) ? store->integerForKey(kServerPortKey) : kDefaultServerPort;
}

void setServerPort(std::int64_t port) {
  platform::SettingsStore::standardUserDefaults()->setInteger(port, kServerPortKey);
}

}  // namespace QVServerSettings
