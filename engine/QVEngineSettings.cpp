#include "engine/QVEngineSettings.h"

namespace QVEngineSettings {

bool loadedDefaults(const platform::SettingsStore& store) { return store.boolForKey(kLoadedDefaultsKey); }

void setLoadedDefaults(platform::SettingsStore& store, bool loaded) {
  store.setBool(loaded, kLoadedDefaultsKey);
  // The flag decides whether the next launch may import the defaults over the user's files: get it
  // on disk now rather than whenever the writer gets to it.
  store.synchronize();
}

bool loadedDefaults() { return loadedDefaults(*platform::SettingsStore::standardUserDefaults()); }

void setLoadedDefaults(bool loaded) {
  setLoadedDefaults(*platform::SettingsStore::standardUserDefaults(), loaded);
}

}  // namespace QVEngineSettings
