#include "httpserver/dashboard/QVServerSettings.h"

#include "platform/SettingsStore.h"

namespace QVServerSettings {

// Read with the defaults applied here too, so that a store without registered defaults (a tool, a
// test) reads the same values.
bool serverEnabled(const platform::SettingsStore& store) {
  return store.objectForKey(kServerEnabledKey) ? store.boolForKey(kServerEnabledKey) : kDefaultServerEnabled;
}

void setServerEnabled(platform::SettingsStore& store, bool enabled) {
  store.setBool(enabled, kServerEnabledKey);
  store.synchronize();
}

std::int64_t serverPort(const platform::SettingsStore& store) {
  return store.objectForKey(kServerPortKey) ? store.integerForKey(kServerPortKey) : kDefaultServerPort;
}

void setServerPort(platform::SettingsStore& store, std::int64_t port) {
  store.setInteger(port, kServerPortKey);
  store.synchronize();
}

bool serverEnabled() { return serverEnabled(*platform::SettingsStore::standardUserDefaults()); }
void setServerEnabled(bool enabled) {
  setServerEnabled(*platform::SettingsStore::standardUserDefaults(), enabled);
}
std::int64_t serverPort() { return serverPort(*platform::SettingsStore::standardUserDefaults()); }
void setServerPort(std::int64_t port) {
  setServerPort(*platform::SettingsStore::standardUserDefaults(), port);
}

}  // namespace QVServerSettings
