#pragma once

#include <cstdint>
#include <string>

#include "ziparchive/ZAZipInfo.h"

// Receives the steps of an extraction. Every method is optional; all are called on the thread that
// runs the extraction.
class ZAZipArchiveDelegate {
 public:
  virtual ~ZAZipArchiveDelegate() = default;

  // Once, before the first entry.
  virtual void zipArchiveWillUnzipArchiveAtPath(const std::string& path, const unz_global_info& zipInfo) {
    (void)path, (void)zipInfo;
  }
  // Position (sum of the compressed sizes of the entries reached) out of the archive's file size.
  virtual void zipArchiveProgressEvent(std::uint64_t loaded, std::uint64_t total) {
    (void)loaded, (void)total;
  }
  // Answering false cancels the whole extraction.
  virtual bool zipArchiveShouldUnzipFileAtIndex(std::int64_t fileIndex, std::int64_t totalFiles,
                                                const std::string& archivePath,
                                                const unz_file_info& fileInfo) {
    (void)fileIndex, (void)totalFiles, (void)archivePath, (void)fileInfo;
    return true;
  }
  virtual void zipArchiveWillUnzipFileAtIndex(std::int64_t fileIndex, std::int64_t totalFiles,
                                              const std::string& archivePath, const unz_file_info& fileInfo) {
    (void)fileIndex, (void)totalFiles, (void)archivePath, (void)fileInfo;
  }
  // After an entry was written. A delegate that does not override this form gets the form below,
  // which names the written path instead.
  virtual void zipArchiveDidUnzipFileAtIndex(std::int64_t fileIndex, std::int64_t totalFiles,
                                             const std::string& archivePath, const unz_file_info& fileInfo);
  virtual void zipArchiveDidUnzipFileAtIndex(std::int64_t fileIndex, std::int64_t totalFiles,
                                             const std::string& archivePath,
                                             const std::string& unzippedFilePath) {
    (void)fileIndex, (void)totalFiles, (void)archivePath, (void)unzippedFilePath;
  }
  // Once, after a successful extraction.
  virtual void zipArchiveDidUnzipArchiveAtPath(const std::string& path, const unz_global_info& zipInfo,
                                               const std::string& unzippedPath) {
    (void)path, (void)zipInfo, (void)unzippedPath;
  }
};
