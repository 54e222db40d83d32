#include <filesystem>

#include "engine/NSString+QVPathConversions.h"
#include "engine/QVEngineEnvironment.h"
#include "platform/Paths.h"

namespace fs = std::filesystem;

namespace {

// The folder's text with one trailing "/", for prefix tests.
std::string folderPrefix(const fs::path& folder) {
  std::string text = folder.lexically_normal().string();
  if (text.empty() || text.back() != '/') text += '/';
  return text;
}

bool isInside(const std::string& path, const fs::path& folder) {
  return path.rfind(folderPrefix(folder), 0) == 0;
}

std::string lastComponent(const std::string& path) {
  fs::path p(path);
  if (!p.has_filename()) p = p.parent_path();
  return p.filename().string();
}

bool isPlainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

bool hasPlaceholderPrefix(const std::string& path, const char* placeholder) {
  std::string prefix = std::string(placeholder) + "/";
  return path.rfind(prefix, 0) == 0;
}

}  // namespace

std::string supportPathWithFolder(const std::string& folder) {
  fs::path support = platform::paths::applicationSupportDirectory();
  if (folder.empty()) return support.string();
  return (support / folder).string();
}

std::string zk_exportablePath(const std::string& path) {
  if (path.empty()) return path;
  fs::path resources = QVEngineEnvironment::resourceBundle().resourcePath();
  std::string normal = fs::path(path).lexically_normal().string();
  if (isInside(normal, resources / "Modules")) {
    return std::string(kQVBundledModulesPathPlaceholder) + "/" + lastComponent(path);
  }
  if (isInside(normal, platform::paths::applicationSupportDirectory())) {
    return std::string(kQVUserModulesPathPlaceholder) + "/" + lastComponent(path);
  }
  if (isInside(normal, resources / "Sounds")) {
    return std::string(kQVSoundsPathPlaceholder) + "/" + lastComponent(path);
  }
  return path;
}

std::optional<std::string> zk_importedPath(const std::optional<std::string>& stored) {
  if (!stored) return std::nullopt;
  std::string path = *stored;
  fs::path asPath(path);
  if (asPath.extension() == std::string(".") + kQVOldModulePackageExtension) {
    asPath.replace_extension(kQVModulePackageExtension);
    path = asPath.string();
  }
  auto resource = [&](const char* folder) -> std::optional<std::string> {
    std::string name = lastComponent(path);
    if (!isPlainName(name)) return std::nullopt;
    auto found = QVEngineEnvironment::resourceBundle().pathForResource(name, "", folder);
    if (!found) return std::nullopt;
    return found->string();
  };
  if (hasPlaceholderPrefix(path, kQVBundledModulesPathPlaceholder)) return resource("Modules");
  if (hasPlaceholderPrefix(path, kQVSoundsPathPlaceholder)) return resource("Sounds");
  if (hasPlaceholderPrefix(path, kQVUserModulesPathPlaceholder)) {
    std::string name = lastComponent(path);
    if (!isPlainName(name)) return std::nullopt;
    return (fs::path(supportPathWithFolder("Modules")) / name).string();
  }
  return path;
}
