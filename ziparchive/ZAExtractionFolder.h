#pragma once

#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Error.h"

// The destination of one extraction. Every path below it is reached component by component from
// the folder itself: no component may be a symbolic link, so nothing is ever created, written or
// dated outside the folder. Files are written aside and renamed into place, so a failed entry
// leaves no partial file and an existing file stays whole until its replacement is complete.
class ZAExtractionFolder {
 public:
  using Components = std::vector<std::string>;

  explicit ZAExtractionFolder(std::string path);
  ~ZAExtractionFolder();
  ZAExtractionFolder(const ZAExtractionFolder&) = delete;
  ZAExtractionFolder& operator=(const ZAExtractionFolder&) = delete;

  const std::string& path() const { return path_; }
  // The full path of a relative path below the folder.
  std::string pathOf(const Components& components) const;

  // The components of an entry name ("\" already turned into "/"); nullopt when the name is
  // absolute, holds a ".." segment or a NUL, or names nothing.
  static std::optional<Components> componentsOfEntryName(std::string_view name);
  // True when a link at `linkComponents` pointing to `target` resolves inside the folder: the target
  // is relative, climbs with ".." only at its start and no higher than the folder, and holds no NUL.
  static bool isContainedLinkTarget(const Components& linkComponents, std::string_view target);

  // Creates the folders of the first `count` components (all when count is npos), each new one
  // dated `date` when given. False with the error when a component is not a folder, is a symbolic
  // link, or cannot be created.
  bool createFolders(const Components& components, std::size_t count, const std::optional<std::time_t>& date,
                     platform::Error* error);
  // True when something (a link included) exists at the path.
  bool exists(const Components& components);
  bool isFolder(const Components& components);
  // Removes whatever is at the path (folders with their contents).
  bool removeItem(const Components& components, platform::Error* error);

  // A file being written: it is made beside its final path, filled, given its mode and date, and
  // renamed into place by `commit`; dropped without commit, it is removed.
  class PendingFile {
   public:
    ~PendingFile();
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;
    bool write(const void* bytes, std::size_t size, platform::Error* error);
    bool setPermissions(unsigned mode);
    bool setModificationDate(std::time_t date);
    // Closes the file and renames it over the final path (replacing a file or a link there).
    bool commit(platform::Error* error);

   private:
    friend class ZAExtractionFolder;
    PendingFile(int parentFd, std::string temporaryName, std::string finalName, int fd);
    void abandon();
    int parentFd_;
    std::string temporaryName_;
    std::string finalName_;
    int fd_;
  };
  // The parent folders must exist (see createFolders).
  std::unique_ptr<PendingFile> beginFile(const Components& components, platform::Error* error);

  bool createSymbolicLink(const Components& components, const std::string& target, platform::Error* error);
  // Sets the modification date of the item itself (a link is not followed).
  bool setModificationDate(const Components& components, std::time_t date, platform::Error* error);

 private:
  // The folder of the first `count` components, opened without following links; -1 with the error
  // when it cannot be reached. The descriptor stays owned by the cache.
  int openFolder(const Components& components, std::size_t count, bool create,
                 const std::optional<std::time_t>& date, platform::Error* error);
  int openRoot(bool create, platform::Error* error);
  void forgetCache();

  std::string path_;
  int rootFd_ = -1;
  Components cachedComponents_;
  int cachedFd_ = -1;
  unsigned temporaryCounter_ = 0;
};
