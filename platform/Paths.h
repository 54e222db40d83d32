#pragma once

#include <filesystem>

namespace platform::paths {

// Each folder lies under the bundle identifier and is created on demand; the XDG variables are
// read on every call so that tests can point them at a sandbox.
std::filesystem::path applicationSupportDirectory();  // $XDG_DATA_HOME or ~/.local/share
std::filesystem::path cachesDirectory();              // $XDG_CACHE_HOME or ~/.cache
std::filesystem::path configDirectory();              // $XDG_CONFIG_HOME or ~/.config
std::filesystem::path temporaryDirectory();           // $TMPDIR or /tmp
std::filesystem::path runtimeDirectory();             // $XDG_RUNTIME_DIR, else the temporary folder
std::filesystem::path homeDirectory();                // $HOME, else the password database

}  // namespace platform::paths
