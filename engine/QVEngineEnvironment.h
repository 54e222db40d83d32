#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/Bundle.h"

class QVDashboardModule;

// What the module objects need from the running application, in one place so that the application
// wires it once and tests can point it elsewhere: the resource folder (built-in modules, sounds, the
// notification preferences), the application's version, and the user-initiated run that a group asks
// for when a ready module is added. Safe from any thread.
namespace QVEngineEnvironment {

// The resource bundle: the main bundle unless one was installed.
platform::Bundle resourceBundle();
// Installs a resource folder (tests); nullopt goes back to the main bundle's.
void setResourceFolder(std::optional<std::filesystem::path> folder);

// The application's short version string, as packages' "minAppVersion" is compared with.
std::string appShortVersion();
// Overrides the version (tests); nullopt goes back to the bundle's own.
void setAppShortVersion(std::optional<std::string> version);

// Asks for a user-initiated run of the module. Until the runner installs its handler, nothing runs.
using RunModuleHandler = std::function<void(const std::shared_ptr<QVDashboardModule>& module)>;
void runModule(const std::shared_ptr<QVDashboardModule>& module);
void setRunModuleHandler(RunModuleHandler handler);

}  // namespace QVEngineEnvironment
