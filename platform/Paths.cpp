#include "platform/Paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <system_error>

#include "platform/BundleInfo.h"

namespace platform::paths {

namespace fs = std::filesystem;

namespace {

// An XDG variable counts only when it holds an absolute path.
fs::path fromEnvironment(const char* name) {
  const char* value = std::getenv(name);
  if (!value || value[0] != '/') return {};
  return fs::path(value);
}

fs::path ensure(const fs::path& base) {
  fs::path dir = base / bundleinfo::kIdentifier;
  std::error_code ec;
  fs::create_directories(dir, ec);
  return dir;
}

}  // namespace

fs::path homeDirectory() {
  if (auto home = fromEnvironment("HOME"); !home.empty()) return home;
  if (const passwd* entry = getpwuid(getuid()); entry && entry->pw_dir) return entry->pw_dir;
  return "/";
}

fs::path applicationSupportDirectory() {
  auto base = fromEnvironment("XDG_DATA_HOME");
  return ensure(base.empty() ? homeDirectory() / ".local/share" : base);
}

fs::path cachesDirectory() {
  auto base = fromEnvironment("XDG_CACHE_HOME");
  return ensure(base.empty() ? homeDirectory() / ".cache" : base);
}

fs::path configDirectory() {
  auto base = fromEnvironment("XDG_CONFIG_HOME");
  return ensure(base.empty() ? homeDirectory() / ".config" : base);
}

fs::path temporaryDirectory() {
  auto base = fromEnvironment("TMPDIR");
  return ensure(base.empty() ? fs::path("/tmp") : base);
}

fs::path runtimeDirectory() {
  auto base = fromEnvironment("XDG_RUNTIME_DIR");
  if (base.empty()) return temporaryDirectory();
  return ensure(base);
}

}  // namespace platform::paths
