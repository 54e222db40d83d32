#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace platform {

// The application's identity and its resource folder.
class Bundle {
 public:
  // The application's bundle: resources found beside the executable (build tree or installed
  // layout); $QUORVANE_RESOURCES overrides the folder.
  static const Bundle& main();
  // A bundle with a given resource folder (tests, tools).
  explicit Bundle(std::filesystem::path resourcePath) : resourcePath_(std::move(resourcePath)) {}

  static std::string bundleIdentifier();          // "com.quorvane.dashboard"
  static std::string shortVersionString();        // "1.0.0"
  static std::string bundleVersion();             // the build version
  static std::filesystem::path executablePath();  // /proc/self/exe

  const std::filesystem::path& resourcePath() const { return resourcePath_; }
  // The resource `name`.`type` (type may be empty) in the resource folder or a sub-folder of it;
  // nullopt when it does not exist.
  std::optional<std::filesystem::path> pathForResource(const std::string& name, const std::string& type,
                                                       const std::string& subdirectory = {}) const;

 private:
  std::filesystem::path resourcePath_;
};

}  // namespace platform
