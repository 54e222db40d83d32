#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Data.h"
#include "platform/Date.h"
#include "platform/Error.h"
#include "ziparchive/ZAZipArchiveDelegate.h"
#include "ziparchive/ZAZipInfo.h"

struct zip;

inline constexpr const char* ZAZipArchiveErrorDomain = "ZAZipArchiveErrorDomain";

// Error codes of ZAZipArchiveErrorDomain.
enum ZAZipArchiveErrorCode : std::int64_t {
  ZAZipArchiveErrorCodeFailedOpenZipFile = -1,    // "failed to open zip file"
  ZAZipArchiveErrorCodeFailedOpenFileInZip = -2,  // "failed to open (first) file in zip file"
  ZAZipArchiveErrorCodeFileInfoNotLoadable =
      -3,  // "failed to retrieve info for file", "crc check failed for file"
  ZAZipArchiveErrorCodeFileContentNotReadable = -4,  // "failed to read contents of file entry"
  ZAZipArchiveErrorCodeFailedToWriteFile = -5,       // "Failed to write file (check your free space)"
  ZAZipArchiveErrorCodeInvalidArguments = -6,        // "received invalid argument(s)"
  ZAZipArchiveErrorCodeUnsafeEntryName = -7,         // a name that would leave the destination
  ZAZipArchiveErrorCodeSymbolicLinkInPath = -8,      // a path that would be written through a symbolic link
  ZAZipArchiveErrorCodeUnsafeSymbolicLink = -9,  // a link whose target leaves the destination or is too long
  ZAZipArchiveErrorCodeNameTooLong = -10,        // a name (or part of one) too long for the file system
  ZAZipArchiveErrorCodeSizeMismatch = -11,       // content longer or shorter than the entry declares
};

// The system's only access to zip archives.
//
// Reading: class methods extract an archive file into a folder, optionally with a password,
// without overwriting, keeping dates and permissions, re-creating symbolic links and opening zip
// files nested inside the archive, and report to a delegate and to blocks. Extraction never writes
// outside the destination folder.
//
// Writing: an instance bound to one archive path is opened, receives files, folders and bytes as
// entries, and is closed; class methods build a whole archive from a list of files or a folder.
// The archive appears at its path only when `close` succeeds; a failed or abandoned archive leaves
// nothing behind (and an older file at the path untouched).
class ZAZipArchive {
 public:
  // Called after each extracted entry: entry name, entry information, entry number from 0, total.
  using ProgressHandler = std::function<void(const std::string& entry, const unz_file_info& zipInfo,
                                             std::int64_t entryNumber, std::int64_t total)>;
  // Called once at the end: archive path (none when the archive could not be opened or walked),
  // success, error.
  using CompletionHandler = std::function<void(const std::optional<std::string>& path, bool succeeded,
                                               const std::optional<platform::Error>& error)>;
  // Items of a folder handled so far, total number of items.
  using CreateProgressHandler = std::function<void(std::uint64_t entryNumber, std::uint64_t total)>;

  // ---- Extraction (passwords: an empty text means none) ----

  static bool unzipFileAtPath(const std::string& path, const std::string& destination);
  static bool unzipFileAtPath(const std::string& path, const std::string& destination,
                              ZAZipArchiveDelegate* delegate);
  static bool unzipFileAtPath(const std::string& path, const std::string& destination, bool overwrite,
                              const std::string& password, platform::Error* error);
  static bool unzipFileAtPath(const std::string& path, const std::string& destination, bool overwrite,
                              const std::string& password, platform::Error* error,
                              ZAZipArchiveDelegate* delegate);
  static bool unzipFileAtPath(const std::string& path, const std::string& destination, bool overwrite,
                              const std::string& password, ProgressHandler progressHandler,
                              CompletionHandler completionHandler);
  static bool unzipFileAtPath(const std::string& path, const std::string& destination,
                              ProgressHandler progressHandler, CompletionHandler completionHandler);
  static bool unzipFileAtPath(const std::string& path, const std::string& destination,
                              bool preserveAttributes, bool overwrite, const std::string& password,
                              platform::Error* error, ZAZipArchiveDelegate* delegate);
  static bool unzipFileAtPath(const std::string& path, const std::string& destination,
                              bool preserveAttributes, bool overwrite, const std::string& password,
                              platform::Error* error, ZAZipArchiveDelegate* delegate,
                              ProgressHandler progressHandler, CompletionHandler completionHandler);
  // The full form. `nestedZipLevel` above 0 opens ".zip" files found in the archive, that many
  // levels deep, in place of writing them.
  static bool unzipFileAtPath(const std::string& path, const std::string& destination,
                              bool preserveAttributes, bool overwrite, int nestedZipLevel,
                              const std::string& password, platform::Error* error,
                              ZAZipArchiveDelegate* delegate, ProgressHandler progressHandler,
                              CompletionHandler completionHandler);

  // The names of the archive's entries, from its entry list (nothing is extracted), "\\" read as
  // "/"; nullopt with the error when the archive cannot be opened or its list read.
  static std::optional<std::vector<std::string>> entryNamesOfArchiveAtPath(const std::string& path,
                                                                           platform::Error* error = nullptr);

  // ---- Password tests ----

  // True when some entry of the archive is encrypted.
  static bool isFilePasswordProtectedAtPath(const std::string& path);
  // True when the password opens the archive's first encrypted entry (or nothing is encrypted).
  static bool isPasswordValidForArchiveAtPath(const std::string& path, const std::string& password,
                                              platform::Error* error);

  // ---- Writing: whole archives ----

  static bool createZipFileAtPathWithFilesAtPaths(const std::string& path,
                                                  const std::vector<std::string>& paths);
  static bool createZipFileAtPathWithFilesAtPaths(const std::string& path,
                                                  const std::vector<std::string>& paths,
                                                  const std::string& password);
  static bool createZipFileAtPathWithContentsOfDirectory(const std::string& path,
                                                         const std::string& directoryPath);
  static bool createZipFileAtPathWithContentsOfDirectory(const std::string& path,
                                                         const std::string& directoryPath,
                                                         const std::string& password);
  // Keeps a text literal from choosing the `keepParentDirectory` form.
  static bool createZipFileAtPathWithContentsOfDirectory(const std::string& path,
                                                         const std::string& directoryPath,
                                                         const char* password);
  static bool createZipFileAtPathWithContentsOfDirectory(const std::string& path,
                                                         const std::string& directoryPath,
                                                         bool keepParentDirectory);
  static bool createZipFileAtPathWithContentsOfDirectory(const std::string& path,
                                                         const std::string& directoryPath,
                                                         bool keepParentDirectory,
                                                         const std::string& password);
  static bool createZipFileAtPathWithContentsOfDirectory(const std::string& path,
                                                         const std::string& directoryPath,
                                                         bool keepParentDirectory,
                                                         const std::string& password,
                                                         CreateProgressHandler progressHandler);
  // The full form: every item below the folder (hidden ones too; symbolic links stored as links);
  // folders without content become folder entries. Compression level -1 is the default (6),
  // 0 stores, 1 to 9 deflate at that level. With a password, `aes` chooses AES-256 over the
  // traditional zip encryption.
  static bool createZipFileAtPathWithContentsOfDirectory(const std::string& path,
                                                         const std::string& directoryPath,
                                                         bool keepParentDirectory, int compressionLevel,
                                                         const std::string& password, bool aes,
                                                         CreateProgressHandler progressHandler);

  // ---- Writing: one archive, entry by entry ----

  // A writer for the archive at `path`; an empty path is refused with std::invalid_argument.
  static std::shared_ptr<ZAZipArchive> initWithPath(const std::string& path);
  ~ZAZipArchive();
  ZAZipArchive(const ZAZipArchive&) = delete;
  ZAZipArchive& operator=(const ZAZipArchive&) = delete;

  const std::string& path() const { return path_; }

  // Starts a new, empty archive. False when it could not be started or its folder is not writable.
  bool open();
  // Adds the file at `path` under `fileName` (its last path component when empty). A symbolic link
  // is stored as a link. False when the file cannot be read or the entry cannot be added.
  bool writeFileAtPath(const std::string& path, const std::string& fileName, int compressionLevel,
                       const std::string& password, bool aes);
  bool writeFileAtPath(const std::string& path, const std::string& fileName, const std::string& password);
  bool writeFile(const std::string& path, const std::string& password);
  // Adds bytes as an entry dated now.
  bool writeData(const platform::Data& data, const std::string& filename, int compressionLevel,
                 const std::string& password, bool aes);
  bool writeData(const platform::Data& data, const std::string& filename, const std::string& password);
  // Adds a folder entry named `folderName` + "/" carrying the folder's date and permissions.
  bool writeFolderAtPath(const std::string& path, const std::string& folderName, const std::string& password);
  // Writes the archive out. Content is read from the added files now; any read, compression or
  // write failure makes this false and leaves no archive file behind.
  bool close();

  // Called while `close` writes the archive, with the share done (0 to 1).
  void setWriteProgressHandler(std::function<void(double fraction)> handler);

  // ---- Helpers ----

  // A DOS date and time (as stored in archives) as a date in the local time zone.
  static platform::Date _dateWithMSDOSFormat(std::uint32_t msdosDateTime);
  // A date in the local time zone as a DOS date and time (1980 to 2107, two-second resolution).
  static std::uint32_t dosDateWithDate(const platform::Date& date);
  static void zipInfoSetDate(zip_fileinfo& zipInfo, const platform::Date& date);
  // Fills date and external attributes from the item on disk (not following a symbolic link).
  static void zipInfoSetAttributesOfItemAtPath(zip_fileinfo& zipInfo, const std::string& path);
  // An entry name as text: UTF-8 as it is; other bytes decoded by the zip format's legacy code page
  // when they read as a name; otherwise the bytes in upper-case hexadecimal.
  static std::string _filenameStringWithCString(const char* bytes, std::size_t size);
  static std::string _hexString(const platform::Data& data);
  static std::string _base64RFC4648(const platform::Data& data);

  // Internal: the files being deflated ahead while the archive is written.
  struct Precompression;

 private:
  explicit ZAZipArchive(std::string path);

  std::string path_;
  zip* handle_ = nullptr;
  std::shared_ptr<Precompression> precompression_;
  std::function<void(double)> writeProgressHandler_;
};
