#include <mutex>

#include "Telemetry/Internals/Util/TLLogger.h"
#include "Telemetry/Internals/Util/TLUtility.h"
#include "platform/Files.h"
#include "platform/Paths.h"

namespace fs = std::filesystem;

namespace {

// Serialises creation, deletion, loading and listing across the pipeline's queue, the crash
// service's threads and the main thread.
std::recursive_mutex gFileMutex;

// The folder is worked out at every call (tests move the application-support folder) and created
// the first time a given location is seen.
std::mutex gFolderMutex;
fs::path gCreatedFolder;

// A component is a relative path that stays inside the storage folder.
bool isSafeComponent(const std::string& component) {
  if (component.empty() || component.find('\0') != std::string::npos) return false;
  fs::path path(component);
  if (path.is_absolute() || path.has_root_name() || path.has_root_directory()) return false;
  for (const auto& element : path) {
    if (element == "..") return false;
  }
  return true;
}

}  // namespace

fs::path TLUtility::telemetryDirectoryURL() {
  fs::path folder = platform::paths::applicationSupportDirectory() / kTLStorageFolderName;
  std::lock_guard lock(gFolderMutex);
  if (folder != gCreatedFolder) {
    if (createDirectoryAtURL(folder)) gCreatedFolder = folder;
  }
  return folder;
}

std::optional<fs::path> TLUtility::fullURLForPathComponent(const std::string& component) {
  if (!isSafeComponent(component)) return std::nullopt;
  return telemetryDirectoryURL() / component;
}

bool TLUtility::fileExistsForPathComponent(const std::string& component) {
  auto url = fullURLForPathComponent(component);
  return url && platform::files::fileExists(*url);
}

std::optional<fs::path> TLUtility::createFileAtPathComponent(const std::string& component,
                                                             const std::optional<platform::Data>& data,
                                                             bool atomically, bool forceOverwrite) {
  auto url = fullURLForPathComponent(component);
  if (!url) return std::nullopt;
  std::lock_guard lock(gFileMutex);
  if (!forceOverwrite && platform::files::fileExists(*url)) return url;
  createDirectoryAtURL(url->parent_path());
  const platform::Data& bytes = data ? *data : platform::Data{};
  bool written = false;
  if (atomically) {
    written = platform::files::writeAtomically(*url, bytes);
  } else if (FILE* file = std::fopen(url->c_str(), "wb")) {
    written = (bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size());
    written = (std::fclose(file) == 0) && written;
  }
  if (!written) {
    TLLogError(kTLLogTag, "Couldn't create new file at path {}", url->string());
    return std::nullopt;
  }
  return url;
}

bool TLUtility::deleteItemForPathComponent(const std::string& component) {
  auto url = fullURLForPathComponent(component);
  if (!url) return false;
  return deleteFileAtURL(*url);
}

bool TLUtility::deleteFileAtURL(const fs::path& url) {
  std::lock_guard lock(gFileMutex);
  platform::Error error;
  if (!platform::files::removeItem(url, &error)) {
    TLLogDebug(kTLLogTag, "Couldn't remove item at {}: {}", url.string(), error.description);
    return false;
  }
  return true;
}

std::optional<fs::path> TLUtility::createDirectoryForPathComponent(const std::string& component) {
  auto url = fullURLForPathComponent(component);
  if (!url) return std::nullopt;
  std::lock_guard lock(gFileMutex);
  if (!createDirectoryAtURL(*url)) return std::nullopt;
  return url;
}

std::optional<platform::Data> TLUtility::loadDataForPathComponent(const std::string& component) {
  auto url = fullURLForPathComponent(component);
  if (!url) return std::nullopt;
  std::lock_guard lock(gFileMutex);
  return platform::files::readFile(*url);
}

std::optional<std::vector<fs::path>> TLUtility::contentsOfDirectory(const std::string& component,
                                                                    const std::vector<std::string>&) {
  auto url = fullURLForPathComponent(component);
  if (!url) return std::nullopt;
  std::lock_guard lock(gFileMutex);
  platform::Error error;
  auto names = platform::files::contentsOfDirectory(*url, &error);
  if (!names) {
    TLLogDebug(kTLLogTag, "Couldn't get files in the directory \"{}\": {}", component, error.description);
    return std::nullopt;
  }
  std::vector<fs::path> urls;
  urls.reserve(names->size());
  for (const auto& name : *names) urls.push_back(*url / name);
  return urls;
}

bool TLUtility::createDirectoryAtURL(const std::optional<fs::path>& url) {
  if (!url) return false;
  platform::Error error;
  if (!platform::files::createDirectory(*url, &error)) {
    TLLogError(kTLLogTag, "Couldn't create directory at {}: {}", url->string(), error.description);
    return false;
  }
  disableBackupForDirectoryURL(url);
  return true;
}

bool TLUtility::disableBackupForDirectoryURL(const std::optional<fs::path>& url) {
  if (!url) {
    TLLogError(kTLLogTag, "Error excluding {} from iCloud backup {}", "(null)", "no URL");
    return false;
  }
  return true;
}
