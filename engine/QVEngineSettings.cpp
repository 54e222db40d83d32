#include "engine/QVEngineSettings.h"

namespace QVEngineSettings {

bool loadedDefaults() {
  return platform::SettingsStore::standardUserDefaults()->boolForKey(kLoadedDefaultsKey);
}

void setLoadedDefaults(bool loaded) {
  auto store = platform::SettingsStore::standardUserDefaults();
  store->setBool(loaded, kLoadedDefaultsKey);
  // The flag decides whether the next launch may import the defaults over the user's files: get it
  // on disk now rather than whenever the writer gets to it.
  store->synchronize();
}

}  // namespace QVEngineSettings
