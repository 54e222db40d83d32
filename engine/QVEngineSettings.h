#pragma once

#include "platform/SettingsStore.h"

// The user settings the module engine reads and writes, in one place. The engine reads them from the
// standard settings store (platform::SettingsStore::standardUserDefaults()), where tests install a
// store of their own; the application's typed settings object reaches the same keys through the
// overloads that take a store, so the key and its stored form live here only.
namespace QVEngineSettings {

// Boolean, no registered default (so false until set): whether a start-up load has read the groups
// archive. While false, the manager seeds a first launch from the built-in "Default Data" backup.
inline constexpr const char* kLoadedDefaultsKey = "loadedDefaults";

bool loadedDefaults();
void setLoadedDefaults(bool loaded);
bool loadedDefaults(const platform::SettingsStore& store);
void setLoadedDefaults(platform::SettingsStore& store, bool loaded);

}  // namespace QVEngineSettings
