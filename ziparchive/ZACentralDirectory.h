#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ziparchive/ZAZipInfo.h"

// Walks an archive's central directory record by record, for what the zip library does not tell:
// the raw entry name with its exact length, the version-made-by and flag fields and the DOS date.
// It reads the same directory the zip library reads, entry for entry in the same order; every read
// is bounded by the directory's extent and the file's size.
class ZACentralDirectory {
 public:
  struct Record {
    unz_file_info info;  // sizes and CRC as stored in the fixed fields (Zip64 values not applied)
    std::string rawName;
  };

  // Finds the directory of the archive open on `fd` that holds `entryCount` entries; nullptr when
  // there is none. The descriptor is duplicated; the caller keeps its own.
  static std::unique_ptr<ZACentralDirectory> locate(int fd, std::uint64_t entryCount);
  ~ZACentralDirectory();
  ZACentralDirectory(const ZACentralDirectory&) = delete;
  ZACentralDirectory& operator=(const ZACentralDirectory&) = delete;

  // The next record; false past the last one or at a malformed record.
  bool next(Record& record);

 private:
  ZACentralDirectory(int fd, std::uint64_t start, std::uint64_t end, std::uint64_t count);
  bool read(std::uint64_t offset, std::size_t size, std::uint8_t* out);

  int fd_;
  std::uint64_t position_;
  std::uint64_t end_;
  std::uint64_t remaining_;
  std::vector<std::uint8_t> window_;
  std::uint64_t windowOffset_ = 0;
};
