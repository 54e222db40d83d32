#include "engine/QVDataManager.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <system_error>

#include "engine/NSString+NextAvailable.h"
#include "engine/NSString+QVPathConversions.h"
#include "platform/DispatchQueue.h"
#include "platform/Files.h"
#include "platform/Log.h"
#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"
#include "platform/PropertyList.h"
#include "ziparchive/ZAZipArchive.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kQueueLabel = "com.zorvik.compressionqueue";
constexpr const char* kGroupsArchiveItem = "Modules.plist";
// A groups archive larger than this is not a backup of ours.
constexpr std::uint64_t kMaximumDataGroupsArchiveBytes = 256u << 20;

bool dataItemExists(const fs::path& path) {
  std::error_code ec;
  return fs::symlink_status(path, ec).type() != fs::file_type::not_found && !ec;
}

// One entry of the backup: the file its bytes are read from, and its name in the archive.
struct BackupFile {
  fs::path source;
  std::string entry;
};

// The folders on the way down, by device and inode, so that a link back up is not followed.
using FolderChain = std::vector<std::pair<dev_t, ino_t>>;

// Where the bytes of `path` are read from: the path itself, or for a symbolic link the file it
// resolves to (the archive holds the content, never the link, which import would refuse).
fs::path contentSource(const fs::path& path, const struct stat& linkInfo) {
  if (!S_ISLNK(linkInfo.st_mode)) return path;
  std::error_code ec;
  fs::path target = fs::canonical(path, ec);
  return ec ? path : target;
}

// Adds the item at `path` under `entry`: a file (or a link to one) as one entry, a folder (or a link
// to one) as one entry per file below it, hidden ones too, in name order. Links are followed; a
// link that leads back into a folder being walked (a cycle) or nowhere is skipped with a log line,
// and so is anything that is neither file nor folder. The temporary files of saves cut short are
// never backed up. False when a folder cannot be read.
bool collectItem(const fs::path& path, const std::string& entry, FolderChain& chain,
                 std::vector<BackupFile>& files) {
  struct stat linkInfo {};
  struct stat info {};
  if (::lstat(path.c_str(), &linkInfo) != 0) {
    // Gone since it was listed (a log removed meanwhile): nothing to back up.
    if (errno == ENOENT) return true;
    platform::log("Could not read {} for the backup: {}", path.string(), std::strerror(errno));
    return false;
  }
  if (::stat(path.c_str(), &info) != 0) {
    platform::log("Not backing up {}: it is a link to nothing ({})", path.string(), std::strerror(errno));
    return true;
  }
  if (S_ISREG(info.st_mode)) {
    files.push_back({contentSource(path, linkInfo), entry});
    return true;
  }
  if (!S_ISDIR(info.st_mode)) {
    platform::log("Not backing up {}: it is neither a file nor a folder", path.string());
    return true;
  }
  const std::pair<dev_t, ino_t> identity{info.st_dev, info.st_ino};
  if (std::find(chain.begin(), chain.end(), identity) != chain.end()) {
    platform::log("Not backing up {}: it links back into a folder that holds it", path.string());
    return true;
  }
  auto names = platform::files::contentsOfDirectory(path);
  if (!names) {
    platform::log("Could not walk {} for the backup", path.string());
    return false;
  }
  chain.push_back(identity);
  bool complete = true;
  for (const auto& name : *names) {
    if (platform::files::isAtomicWriteTemporary(name)) continue;
    if (!collectItem(path / name, entry + "/" + name, chain, files)) {
      complete = false;
      break;
    }
  }
  chain.pop_back();
  return complete;
}

// A staged groups archive must at least be a property list (or empty, which means no groups): a backup
// whose groups cannot be read would leave the application unable to start.
bool stagedGroupsArchiveIsReadable(const fs::path& path) {
  if (!dataItemExists(path)) return true;
  std::error_code ec;
  if (!fs::is_regular_file(fs::symlink_status(path, ec))) return false;
  platform::Error error;
  auto data = platform::files::readFile(path, &error, kMaximumDataGroupsArchiveBytes);
  if (!data) return false;
  if (data->empty()) return true;
  return platform::PropertyList::read(*data, &error).has_value();
}

// Renames that can be undone in reverse order.
class Swap {
 public:
  bool move(const fs::path& from, const fs::path& to) {
    if (::rename(from.c_str(), to.c_str()) != 0) {
      platform::log("Could not move {} to {}: {}", from.string(), to.string(),
                    std::error_code(errno, std::generic_category()).message());
      return false;
    }
    done_.push_back({from, to});
    return true;
  }
  // Puts everything back; false when some item could not be put back.
  bool rollBack() {
    bool complete = true;
    for (auto it = done_.rbegin(); it != done_.rend(); ++it) {
      if (::rename(it->second.c_str(), it->first.c_str()) != 0) {
        platform::log("Could not move {} back to {}: {}", it->second.string(), it->first.string(),
                      std::error_code(errno, std::generic_category()).message());
        complete = false;
      }
    }
    done_.clear();
    return complete;
  }

 private:
  std::vector<std::pair<fs::path, fs::path>> done_;
};

}  // namespace

const std::vector<std::string>& QVDataManager::backedUpItems() {
  static const std::vector<std::string> items = {"Logs", "Module Databases", "Modules", kGroupsArchiveItem};
  return items;
}

QVDataManager::QVDataManager() : queue_(platform::DispatchQueue::serial(kQueueLabel)) {}

QVDataManager::~QVDataManager() = default;

std::shared_ptr<QVDataManager> QVDataManager::sharedInstance() {
  // Made once and never destroyed: a backup still running at exit must not be waited for by a
  // static destructor.
  static std::shared_ptr<QVDataManager>* shared = new std::shared_ptr<QVDataManager>(make());
  return *shared;
}

std::shared_ptr<QVDataManager> QVDataManager::make() {
  return std::shared_ptr<QVDataManager>(new QVDataManager());
}

std::string QVDataManager::supportPathWithFolder(const std::optional<std::string>& folder) {
  return ::supportPathWithFolder(folder.value_or(""));
}

bool QVDataManager::pathIsDirectory(const std::string& path) {
  std::error_code ec;
  return fs::is_directory(path, ec);
}

std::vector<std::string> QVDataManager::pathsToExport() const {
  std::vector<std::string> paths;
  for (const auto& item : backedUpItems()) {
    std::string path = supportPathWithFolder(item);
    if (dataItemExists(path)) paths.push_back(std::move(path));
  }
  return paths;
}

void QVDataManager::exportToPath(const std::string& path, CompletionHandler completionHandler) {
  auto self = shared_from_this();
  runAsync([self, path] { return self->actuallyExportToPath(path); }, std::move(completionHandler), false);
}

void QVDataManager::importWithPath(const std::string& path, CompletionHandler completionHandler) {
  platform::NotificationCenter::defaultCenter().postNotificationName(QVBackupWillImportNotification,
                                                                     static_cast<const void*>(this));
  auto self = shared_from_this();
  runAsync([self, path] { return self->actuallyImportWithPath(path); }, std::move(completionHandler), true);
}

void QVDataManager::runAsync(std::function<bool()> body, CompletionHandler completionHandler, bool isImport) {
  auto sender = static_cast<const void*>(this);
  queue_->async([body = std::move(body), completionHandler = std::move(completionHandler), isImport, sender] {
    const bool success = body();
    auto report = [completionHandler, success, isImport, sender] {
      if (isImport) {
        platform::NotificationCenter::defaultCenter().postNotificationName(
            success ? QVBackupDidImportNotification : QVBackupDidFailImportNotification, sender);
      }
      if (completionHandler) completionHandler(success);
    };
    if (auto main = platform::MainQueue::shared()) {
      main->post(std::move(report));
    } else {
      platform::log("No main queue to report a backup result on; reporting on the backup queue");
      report();
    }
  });
}

bool QVDataManager::actuallyExportToPath(const std::string& wantedPath, std::string* writtenPath) const {
  const std::vector<std::string> items = pathsToExport();
  if (items.empty()) {
    platform::log("Nothing to export: none of the backed-up items exists");
    return false;
  }
  if (wantedPath.empty()) return false;
  const std::string path = zk_nextAvailablePath(wantedPath);
  auto archive = ZAZipArchive::initWithPath(path);
  if (!archive->open()) {
    platform::log("Could not create the backup archive at {}", path);
    return false;
  }
  // Any failure below drops the writer without closing it, which leaves no file behind.
  std::vector<BackupFile> files;
  for (const auto& item : items) {
    FolderChain chain;
    if (!collectItem(item, fs::path(item).filename().string(), chain, files)) return false;
  }
  for (const auto& file : files) {
    if (!archive->writeFileAtPath(file.source.string(), file.entry, "")) {
      platform::log("Could not add {} to the backup archive", file.source.string());
      return false;
    }
  }
  if (!archive->close()) {
    platform::log("Could not write the backup archive at {}", path);
    return false;
  }
  if (writtenPath) *writtenPath = path;
  return true;
}

bool QVDataManager::actuallyImportWithPath(const std::string& path) const {
  const fs::path support = supportPathWithFolder(std::nullopt);
  auto finish = [&support](bool success) {
    platform::logDebug("{} - {}", success ? 1 : 0, support.string());
    return success;
  };

  std::error_code ec;
  if (path.empty() || !fs::is_regular_file(path, ec)) {
    platform::log("Cannot import {}: it is not a file", path);
    return finish(false);
  }

  // The entry list must show a backup before anything is written: an archive that holds none of the
  // backed-up items is refused without extracting a byte of it.
  {
    platform::Error listError;
    auto names = ZAZipArchive::entryNamesOfArchiveAtPath(path, &listError);
    if (!names) {
      platform::log("Could not read the backup archive {}: {}", path, listError.description);
      return finish(false);
    }
    const auto& items = backedUpItems();
    const bool listsAnItem = std::any_of(names->begin(), names->end(), [&](const std::string& name) {
      const std::string first = name.substr(0, name.find('/'));
      return std::find(items.begin(), items.end(), first) != items.end();
    });
    if (!listsAnItem) {
      platform::log("The archive {} holds none of the backed-up items", path);
      return finish(false);
    }
  }

  // Everything is unpacked beside the support folder first (the same file system, so the items can
  // be swapped in by renaming), and the user's files are touched only once the archive has been read
  // through.
  std::string pattern = support.string() + ".import-XXXXXX";
  if (!::mkdtemp(pattern.data())) {
    platform::log("Could not make a staging folder beside {}", support.string());
    return finish(false);
  }
  const fs::path staging = pattern;
  const fs::path incoming = staging / "incoming";
  const fs::path previous = staging / "previous";
  bool keepStaging = false;
  auto cleanUp = [&] {
    if (keepStaging) return;
    std::error_code ignored;
    fs::remove_all(staging, ignored);
  };
  if (!platform::files::createDirectory(incoming) || !platform::files::createDirectory(previous)) {
    cleanUp();
    return finish(false);
  }

  platform::Error error;
  if (!ZAZipArchive::unzipFileAtPath(path, incoming.string(), true, true, 0, "", &error, nullptr, nullptr,
                                     nullptr)) {
    platform::log("Could not read the backup archive {}: {}", path, error.description);
    cleanUp();
    return finish(false);
  }
  const auto& items = backedUpItems();
  const bool holdsAnItem = std::any_of(
      items.begin(), items.end(), [&](const std::string& item) { return dataItemExists(incoming / item); });
  if (!holdsAnItem) {
    platform::log("The archive {} holds none of the backed-up items", path);
    cleanUp();
    return finish(false);
  }
  if (!stagedGroupsArchiveIsReadable(incoming / kGroupsArchiveItem)) {
    platform::log("The archive {} holds a groups archive that cannot be read", path);
    cleanUp();
    return finish(false);
  }

  // The four items are replaced whether or not the archive holds them (an item it lacks is removed);
  // anything else it holds is put in place as well.
  std::vector<std::string> names = items;
  std::set<std::string> known(items.begin(), items.end());
  if (auto extra = platform::files::contentsOfDirectory(incoming)) {
    for (const auto& name : *extra) {
      if (known.insert(name).second) names.push_back(name);
    }
  }
  Swap swap;
  bool swapped = true;
  for (const auto& name : names) {
    if (dataItemExists(support / name) && !swap.move(support / name, previous / name)) {
      swapped = false;
      break;
    }
    if (dataItemExists(incoming / name) && !swap.move(incoming / name, support / name)) {
      swapped = false;
      break;
    }
  }
  if (!swapped) {
    if (!swap.rollBack()) {
      // Some of the user's old items are still in the staging folder: it must not be deleted.
      keepStaging = true;
      platform::log("The previous data could not all be put back; what is missing is in {}",
                    previous.string());
    }
    cleanUp();
    return finish(false);
  }
  cleanUp();
  return finish(true);
}
