#pragma once

#include <memory>

#include "platform/SettingsStore.h"

// The user settings the module engine reads and writes, in one place: the application's typed
// settings object forwards to these (or replaces them) without the engine changing. They live in the
// standard settings store (platform::SettingsStore::standardUserDefaults()); tests install a store of
// their own there.
namespace QVEngineSettings {

// Boolean, no registered default (so false until set): whether a start-up load has read the groups
// archive. While false, the manager seeds a first launch from the built-in "Default Data" backup.
inline constexpr const char* kLoadedDefaultsKey = "loadedDefaults";

bool loadedDefaults();
void setLoadedDefaults(bool loaded);

}  // namespace QVEngineSettings
