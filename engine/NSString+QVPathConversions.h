#pragma once

#include <optional>
#include <string>

// Stored package and sound paths in a form that survives moving the application and its data: a path
// inside the application's own "Modules" resource folder, inside the application support folder, or
// inside the application's own "Sounds" resource folder is stored as a placeholder and its last
// component.
inline constexpr const char* kQVBundledModulesPathPlaceholder = "$BUNDLED_MODULES_PATH";
inline constexpr const char* kQVUserModulesPathPlaceholder = "$USER_MODULES_PATH";
inline constexpr const char* kQVSoundsPathPlaceholder = "$SOUNDS_PATH";

// The package extension, and the one packages made for older versions carry.
inline constexpr const char* kQVModulePackageExtension = "quorvanemodule";
inline constexpr const char* kQVOldModulePackageExtension = "dashboardmodule";

// The portable form: "$BUNDLED_MODULES_PATH/<name>", "$USER_MODULES_PATH/<name>" or
// "$SOUNDS_PATH/<name>" (tested in that order, the first match wins); any other path unchanged.
std::string zk_exportablePath(const std::string& path);

// The absolute path of a stored one. The old package extension becomes the current one first. A
// built-in module or sound that the application no longer ships gives nullopt, as does a stored
// name that is not a plain file name ("", ".", ".."). Other paths come back unchanged.
std::optional<std::string> zk_importedPath(const std::optional<std::string>& path);

// The application support folder (created), or the named folder inside it (not created).
std::string supportPathWithFolder(const std::string& folder);
