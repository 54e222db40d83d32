#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {
class DispatchQueue;
}

// Posted on the default centre, on the main thread, when an import has replaced the files in the
// application support folder, just before the import's completion runs. A running engine that has
// loaded stops writing its files then, so that the restored ones stay as they are until the
// application restarts on them.
inline constexpr const char* QVBackupDidImportNotification = "QVBackupDidImport";
// Posted on the default centre, on the calling thread, when an import starts, before any file is
// replaced: a running engine stops writing at once, since a save it had pending would otherwise put
// the old groups over the imported ones.
inline constexpr const char* QVBackupWillImportNotification = "QVBackupWillImport";
// Posted on the main thread when an import that started failed: the engine writes again.
inline constexpr const char* QVBackupDidFailImportNotification = "QVBackupDidFailImport";

// Backs up everything the module engine keeps on disk into one zip archive (a "dashboardexport") and
// puts such an archive back in place. The backed-up items of the application support folder are, in
// this order: "Logs/", "Module Databases/", "Modules/" and "Modules.plist". A file item becomes one
// entry under its name; a folder item one entry per file below it, named "<folder>/<relative path>".
//
// Export and import run on the manager's own serial queue, one after the other, and report on the
// main thread. Neither ever leaves the user's data half done:
// - an export answers YES only when every entry was written and the archive closed; otherwise no
//   archive file is left behind;
// - an import first extracts the archive into a staging folder beside the support folder, then swaps
//   the items in, putting the old ones back if any step fails. An archive that is missing, not a zip,
//   truncated or damaged, or that holds none of the four items, changes nothing and answers NO.
class QVDataManager : public std::enable_shared_from_this<QVDataManager> {
 public:
  using CompletionHandler = std::function<void(bool success)>;

  // The backed-up items, in archive order.
  static const std::vector<std::string>& backedUpItems();

  static std::shared_ptr<QVDataManager> sharedInstance();
  // A manager of its own (tests, tools), with its own queue.
  static std::shared_ptr<QVDataManager> make();
  ~QVDataManager();
  QVDataManager(const QVDataManager&) = delete;
  QVDataManager& operator=(const QVDataManager&) = delete;

  // Writes the backup to the wanted path, or to the first free numbered sibling ("... 2.dashboardexport")
  // when it is taken; the completion runs on the main thread with the result.
  void exportToPath(const std::string& path, CompletionHandler completionHandler);
  // Replaces the backed-up items with the archive's content; the completion runs on the main thread.
  // On success QVBackupDidImportNotification is posted first.
  void importWithPath(const std::string& path, CompletionHandler completionHandler);

  // The synchronous bodies (any thread). The export tells where it wrote the archive.
  bool actuallyExportToPath(const std::string& path, std::string* writtenPath = nullptr) const;
  bool actuallyImportWithPath(const std::string& path) const;

  // Full paths of the backed-up items that exist now, in archive order.
  std::vector<std::string> pathsToExport() const;
  // The application support folder (created), or the item inside it; nullopt and "" give the folder.
  static std::string supportPathWithFolder(const std::optional<std::string>& folder);
  // True when the path names an existing folder (symbolic links followed).
  static bool pathIsDirectory(const std::string& path);

 private:
  QVDataManager();
  void runAsync(std::function<bool()> body, CompletionHandler completionHandler, bool isImport);

  std::shared_ptr<platform::DispatchQueue> queue_;
};
