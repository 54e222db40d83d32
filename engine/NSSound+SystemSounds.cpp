#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <system_error>

#include "engine/NSSound+SystemSounds.h"
#include "platform/Paths.h"

namespace fs = std::filesystem;

namespace {

// A sound folder holding more entries than this is cut short rather than walked for ever.
constexpr std::size_t kMaximumEntriesPerFolder = 20000;

fs::path absoluteFromEnvironment(const char* name) {
  const char* value = std::getenv(name);
  if (!value || value[0] != '/') return {};
  return value;
}

// Walks the folder, skipping what cannot be read and not following links to folders (no loops).
void walkFiles(const fs::path& folder, const std::function<void(const fs::path&)>& visit) {
  std::error_code ec;
  fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec);
  std::size_t seen = 0;
  for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (++seen > kMaximumEntriesPerFolder) break;
    std::error_code typeError;
    if (it->is_directory(typeError)) continue;
    visit(it->path());
  }
}

void sortAndUnique(std::vector<std::string>& list) {
  std::sort(list.begin(), list.end());
  list.erase(std::unique(list.begin(), list.end()), list.end());
}

}  // namespace

bool zk_isSoundFileAtPath(const fs::path& path) {
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) return false;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  unsigned char head[12] = {};
  ssize_t got = ::read(fd, head, sizeof head);
  ::close(fd);
  if (got < 4) return false;
  auto starts = [&](const char* magic, std::size_t offset = 0) {
    std::size_t length = std::strlen(magic);
    return static_cast<std::size_t>(got) >= offset + length && std::memcmp(head + offset, magic, length) == 0;
  };
  if (starts("RIFF") && starts("WAVE", 8)) return true;
  if (starts("FORM") && (starts("AIFF", 8) || starts("AIFC", 8))) return true;
  if (starts("OggS") || starts("fLaC") || starts(".snd") || starts("ID3")) return true;
  // An MPEG audio frame: eleven set sync bits, then a valid version and layer III, II or I.
  return head[0] == 0xFF && (head[1] & 0xE0) == 0xE0 && (head[1] & 0x18) != 0x08 && (head[1] & 0x06) != 0;
}

std::vector<std::string> zk_bundledSoundsInSubdirectory(const platform::Bundle& bundle,
                                                        const std::string& subdirectory) {
  std::vector<std::string> sounds;
  std::error_code ec;
  for (fs::directory_iterator it(bundle.resourcePath() / subdirectory, ec);
       !ec && it != fs::directory_iterator(); it.increment(ec)) {
    std::error_code typeError;
    if (it->path().extension() == ".wav" && !it->is_directory(typeError))
      sounds.push_back(it->path().string());
  }
  std::sort(sounds.begin(), sounds.end());
  return sounds;
}

std::vector<std::string> zk_bundledSoundsInSubdirectory(const std::string& subdirectory) {
  return zk_bundledSoundsInSubdirectory(platform::Bundle::main(), subdirectory);
}

const std::vector<std::string>& zk_bundledNotificationSounds() {
  static const std::vector<std::string> sounds = zk_bundledSoundsInSubdirectory("Sounds");
  return sounds;
}

fs::path zk_userSoundsFolder() {
  fs::path base = absoluteFromEnvironment("XDG_DATA_HOME");
  if (base.empty()) base = platform::paths::homeDirectory() / ".local/share";
  return base / "sounds";
}

std::vector<fs::path> zk_systemSoundsFolders() {
  const char* value = std::getenv("XDG_DATA_DIRS");
  std::string list = value && *value ? value : "/usr/local/share:/usr/share";
  std::vector<fs::path> folders;
  std::size_t start = 0;
  while (start <= list.size()) {
    auto colon = list.find(':', start);
    std::string entry = list.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
    // Relative entries are invalid in the variable and ignored.
    if (!entry.empty() && entry.front() == '/') folders.push_back(fs::path(entry) / "sounds");
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  return folders;
}

std::vector<std::string> zk_actualAllSoundsArray(const std::vector<fs::path>& soundFolders) {
  std::vector<std::string> sounds;
  for (const auto& folder : soundFolders) {
    walkFiles(folder, [&](const fs::path& path) {
      if (zk_isSoundFileAtPath(path)) sounds.push_back(path.string());
    });
  }
  sortAndUnique(sounds);
  return sounds;
}

std::vector<std::string> zk_actualAllSoundsArray() {
  std::vector<fs::path> folders = {zk_userSoundsFolder()};
  for (auto& folder : zk_systemSoundsFolders()) folders.push_back(std::move(folder));
  return zk_actualAllSoundsArray(folders);
}

const std::vector<std::string>& zk_allSoundsArray() {
  static const std::vector<std::string> sounds = zk_actualAllSoundsArray();
  return sounds;
}

std::vector<std::string> zk_soundNamesInFolder(const fs::path& folder) {
  std::vector<std::string> names;
  walkFiles(folder, [&](const fs::path& path) {
    if (!zk_isSoundFileAtPath(path)) return;
    std::error_code ec;
    fs::path relative = path.lexically_relative(folder);
    if (relative.empty()) return;
    names.push_back((relative.parent_path() / relative.stem()).string());
  });
  sortAndUnique(names);
  return names;
}

std::vector<std::string> zk_userSoundsArray() { return zk_soundNamesInFolder(zk_userSoundsFolder()); }

std::vector<std::string> zk_systemSoundsArray() {
  std::vector<std::string> names;
  for (const auto& folder : zk_systemSoundsFolders()) {
    auto found = zk_soundNamesInFolder(folder);
    names.insert(names.end(), found.begin(), found.end());
  }
  sortAndUnique(names);
  return names;
}

const std::vector<std::string>& zk_systemSounds() {
  static const std::vector<std::string> sounds = zk_systemSoundsArray();
  return sounds;
}
