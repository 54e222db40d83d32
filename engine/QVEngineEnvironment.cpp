#include "engine/QVEngineEnvironment.h"

#include <mutex>

namespace {

struct State {
  std::mutex mutex;
  std::optional<std::filesystem::path> resourceFolder;
  std::optional<std::string> appVersion;
  QVEngineEnvironment::RunModuleHandler runHandler;
};

State& state() {
  static State* shared = new State();
  return *shared;
}

}  // namespace

namespace QVEngineEnvironment {

platform::Bundle resourceBundle() {
  auto& s = state();
  std::lock_guard lock(s.mutex);
  if (s.resourceFolder) return platform::Bundle(*s.resourceFolder);
  return platform::Bundle::main();
}

void setResourceFolder(std::optional<std::filesystem::path> folder) {
  auto& s = state();
  std::lock_guard lock(s.mutex);
  s.resourceFolder = std::move(folder);
}

std::string appShortVersion() {
  auto& s = state();
  std::lock_guard lock(s.mutex);
  return s.appVersion ? *s.appVersion : platform::Bundle::shortVersionString();
}

void setAppShortVersion(std::optional<std::string> version) {
  auto& s = state();
  std::lock_guard lock(s.mutex);
  s.appVersion = std::move(version);
}

void runModule(const std::shared_ptr<QVDashboardModule>& module) {
  RunModuleHandler handler;
  {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    handler = s.runHandler;
  }
  if (handler && module) handler(module);
}

void setRunModuleHandler(RunModuleHandler handler) {
  auto& s = state();
  std::lock_guard lock(s.mutex);
  s.runHandler = std::move(handler);
}

}  // namespace QVEngineEnvironment
