#pragma once

#include <cstdint>

// The records the zip archive wrapper exchanges with its callers. They keep the field set of the
// zip format's own records; sizes are 64 bits wide because Zip64 entries exceed 4 GiB.

// What the reading side knows about one entry, taken from the archive's central directory. Handed
// to the delegate and to the progress block of an extraction.
struct unz_file_info {
  std::uint16_t versionMadeBy = 0;  // upper byte: host system (3 = Unix)
  std::uint16_t versionNeeded = 0;
  std::uint16_t flag = 0;  // general-purpose flags; bit 0: the entry is encrypted
  std::uint16_t compressionMethod = 0;
  std::uint32_t dosDate = 0;  // DOS date in the upper 16 bits, DOS time in the lower 16 bits
  std::uint32_t crc = 0;
  std::uint64_t compressedSize = 0;
  std::uint64_t uncompressedSize = 0;
  std::uint16_t fileNameLength = 0;
  std::uint16_t extraFieldLength = 0;
  std::uint16_t commentLength = 0;
  std::uint16_t diskNumberStart = 0;
  std::uint16_t internalAttributes = 0;
  std::uint32_t externalAttributes = 0;  // for Unix-made entries the upper 16 bits are the file mode
};

// What the reading side knows about the whole archive.
struct unz_global_info {
  std::uint64_t numberOfEntries = 0;
  std::uint16_t commentLength = 0;
};

// What the writing side stores for a new entry besides its name and content.
struct zip_fileinfo {
  std::uint32_t dosDate = 0;
  std::uint16_t internalAttributes = 0;
  std::uint32_t externalAttributes = 0;
};

// Host system numbers in the upper byte of `versionMadeBy`.
inline constexpr std::uint8_t kZAHostUnix = 3;
