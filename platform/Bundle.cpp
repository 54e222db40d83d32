#include "platform/Bundle.h"

#include <cstdlib>
#include <system_error>

#include "platform/BundleInfo.h"

namespace platform {

namespace fs = std::filesystem;

namespace {

fs::path findResources() {
  if (const char* overridden = std::getenv("QUORVANE_RESOURCES"); overridden && *overridden) {
    return overridden;
  }
  std::error_code ec;
  fs::path dir = Bundle::executablePath().parent_path();
  // Installed layout first: <prefix>/bin/quorvane-dashboard with <prefix>/share/quorvane-dashboard/resources
  // (an installed program must never take some unrelated "resources" folder two levels up, as in
  // ~/.local/bin and ~/resources); then the build tree: <build>/resources beside or above the
  // executable's folder.
  const fs::path candidates[] = {dir.parent_path() / "share/quorvane-dashboard/resources", dir / "resources",
                                 dir.parent_path() / "resources",
                                 dir.parent_path().parent_path() / "resources"};
  for (const auto& candidate : candidates) {
    if (fs::is_directory(candidate, ec)) return candidate;
  }
  if (fs::is_directory(bundleinfo::kBuildResources, ec)) return bundleinfo::kBuildResources;
  return bundleinfo::kSourceResources;
}

}  // namespace

const Bundle& Bundle::main() {
  static const Bundle bundle(findResources());
  return bundle;
}

std::string Bundle::bundleIdentifier() { return bundleinfo::kIdentifier; }
std::string Bundle::shortVersionString() { return bundleinfo::kShortVersion; }
std::string Bundle::bundleVersion() { return bundleinfo::kBuildVersion; }

fs::path Bundle::executablePath() {
  std::error_code ec;
  fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  return ec ? fs::path() : exe;
}

std::optional<fs::path> Bundle::pathForResource(const std::string& name, const std::string& type,
                                                const std::string& subdirectory) const {
  if (name.empty()) return std::nullopt;
  std::string file = type.empty() ? name : name + "." + type;
  fs::path path = resourcePath_;
  if (!subdirectory.empty()) path /= subdirectory;
  path /= file;
  std::error_code ec;
  if (!fs::exists(path, ec)) return std::nullopt;
  return path;
}

}  // namespace platform
