#include "ziparchive/ZACentralDirectory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

constexpr std::uint32_t kEndOfDirectorySignature = 0x06054b50;
constexpr std::uint32_t kZip64EndOfDirectorySignature = 0x06064b50;
constexpr std::uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr std::uint32_t kDirectoryRecordSignature = 0x02014b50;
constexpr std::size_t kEndOfDirectorySize = 22;
constexpr std::size_t kZip64LocatorSize = 20;
constexpr std::size_t kZip64EndOfDirectorySize = 56;
constexpr std::size_t kDirectoryRecordSize = 46;
constexpr std::size_t kWindowSize = 64 * 1024;

std::uint16_t le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t le32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
std::uint64_t le64(const std::uint8_t* p) {
  return static_cast<std::uint64_t>(le32(p)) | (static_cast<std::uint64_t>(le32(p + 4)) << 32);
}

bool preadAll(int fd, std::uint64_t offset, std::size_t size, std::uint8_t* out) {
  while (size > 0) {
    ssize_t got = ::pread(fd, out, size, static_cast<off_t>(offset));
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (got == 0) return false;
    out += got;
    offset += static_cast<std::uint64_t>(got);
    size -= static_cast<std::size_t>(got);
  }
  return true;
}

bool hasSignature(int fd, std::uint64_t fileSize, std::uint64_t offset, std::uint32_t signature) {
  std::uint8_t bytes[4];
  if (offset > fileSize || fileSize - offset < 4) return false;
  return preadAll(fd, offset, 4, bytes) && le32(bytes) == signature;
}

}  // namespace

std::unique_ptr<ZACentralDirectory> ZACentralDirectory::locate(int fd, std::uint64_t entryCount) {
  struct stat info {};
  if (::fstat(fd, &info) != 0 || info.st_size < static_cast<off_t>(kEndOfDirectorySize)) return nullptr;
  const auto fileSize = static_cast<std::uint64_t>(info.st_size);
  // The end record lies within the last 22 + 65535 (comment) bytes.
  const std::uint64_t tailSize = std::min<std::uint64_t>(fileSize, kEndOfDirectorySize + 0xFFFF);
  const std::uint64_t tailStart = fileSize - tailSize;
  std::vector<std::uint8_t> tail(static_cast<std::size_t>(tailSize));
  if (!preadAll(fd, tailStart, tail.size(), tail.data())) return nullptr;

  // Later candidates first: a comment may itself hold the signature bytes.
  for (std::size_t pos = tail.size() - kEndOfDirectorySize + 1; pos-- > 0;) {
    const std::uint8_t* eocd = tail.data() + pos;
    if (le32(eocd) != kEndOfDirectorySignature) continue;
    const std::uint64_t eocdOffset = tailStart + pos;
    std::uint64_t total = le16(eocd + 10);
    std::uint64_t directorySize = le32(eocd + 12);
    std::uint64_t directoryOffset = le32(eocd + 16);
    std::uint64_t directoryEnd = eocdOffset;

    // A Zip64 locator just before the end record leads to the Zip64 end record, whose values win.
    if (eocdOffset >= kZip64LocatorSize) {
      std::uint8_t locator[kZip64LocatorSize];
      if (preadAll(fd, eocdOffset - kZip64LocatorSize, sizeof locator, locator) &&
          le32(locator) == kZip64LocatorSignature) {
        const std::uint64_t recorded = le64(locator + 8);
        std::uint64_t zip64Offset = UINT64_MAX;
        const std::uint64_t adjacent = eocdOffset - kZip64LocatorSize;
        if (adjacent >= kZip64EndOfDirectorySize &&
            hasSignature(fd, fileSize, adjacent - kZip64EndOfDirectorySize, kZip64EndOfDirectorySignature)) {
          zip64Offset = adjacent - kZip64EndOfDirectorySize;
        } else if (recorded < adjacent &&
                   hasSignature(fd, fileSize, recorded, kZip64EndOfDirectorySignature)) {
          zip64Offset = recorded;
        }
        std::uint8_t record[kZip64EndOfDirectorySize];
        if (zip64Offset == UINT64_MAX || !preadAll(fd, zip64Offset, sizeof record, record)) continue;
        total = le64(record + 32);
        directorySize = le64(record + 40);
        directoryOffset = le64(record + 48);
        directoryEnd = zip64Offset;
      }
    }
    if (total != entryCount || directorySize > directoryEnd) continue;
    if (entryCount == 0) {
      return std::unique_ptr<ZACentralDirectory>(new ZACentralDirectory(fd, directoryEnd, directoryEnd, 0));
    }
    // The recorded offset, or, for an archive with data put before it, the directory's place
    // counted back from its end.
    for (std::uint64_t start : {directoryOffset, directoryEnd - directorySize}) {
      if (start <= directoryEnd && directoryEnd - start >= directorySize &&
          hasSignature(fd, fileSize, start, kDirectoryRecordSignature)) {
        return std::unique_ptr<ZACentralDirectory>(
            new ZACentralDirectory(fd, start, start + directorySize, entryCount));
      }
    }
  }
  return nullptr;
}

ZACentralDirectory::ZACentralDirectory(int fd, std::uint64_t start, std::uint64_t end, std::uint64_t count)
    : fd_(::fcntl(fd, F_DUPFD_CLOEXEC, 0)), position_(start), end_(end), remaining_(count) {}

ZACentralDirectory::~ZACentralDirectory() {
  if (fd_ >= 0) ::close(fd_);
}

bool ZACentralDirectory::read(std::uint64_t offset, std::size_t size, std::uint8_t* out) {
  if (offset > end_ || end_ - offset < size) return false;
  const std::uint64_t windowEnd = windowOffset_ + window_.size();
  if (offset < windowOffset_ || offset + size > windowEnd) {
    const std::size_t length =
        static_cast<std::size_t>(std::min<std::uint64_t>(std::max(size, kWindowSize), end_ - offset));
    window_.resize(length);
    if (fd_ < 0 || !preadAll(fd_, offset, length, window_.data())) {
      window_.clear();
      return false;
    }
    windowOffset_ = offset;
  }
  std::memcpy(out, window_.data() + (offset - windowOffset_), size);
  return true;
}

bool ZACentralDirectory::next(Record& record) {
  if (remaining_ == 0) return false;
  std::uint8_t fixed[kDirectoryRecordSize];
  if (!read(position_, sizeof fixed, fixed) || le32(fixed) != kDirectoryRecordSignature) return false;
  unz_file_info& info = record.info;
  info.versionMadeBy = le16(fixed + 4);
  info.versionNeeded = le16(fixed + 6);
  info.flag = le16(fixed + 8);
  info.compressionMethod = le16(fixed + 10);
  info.dosDate = (static_cast<std::uint32_t>(le16(fixed + 14)) << 16) | le16(fixed + 12);
  info.crc = le32(fixed + 16);
  info.compressedSize = le32(fixed + 20);
  info.uncompressedSize = le32(fixed + 24);
  info.fileNameLength = le16(fixed + 28);
  info.extraFieldLength = le16(fixed + 30);
  info.commentLength = le16(fixed + 32);
  info.diskNumberStart = le16(fixed + 34);
  info.internalAttributes = le16(fixed + 36);
  info.externalAttributes = le32(fixed + 38);
  record.rawName.resize(info.fileNameLength);
  if (info.fileNameLength > 0 && !read(position_ + kDirectoryRecordSize, info.fileNameLength,
                                       reinterpret_cast<std::uint8_t*>(record.rawName.data()))) {
    return false;
  }
  const std::uint64_t length =
      kDirectoryRecordSize + std::uint64_t(info.fileNameLength) + info.extraFieldLength + info.commentLength;
  if (end_ - position_ < length) return false;
  position_ += length;
  --remaining_;
  return true;
}
