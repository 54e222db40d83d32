#include "ziparchive/ZAZipArchive.h"

#include <fcntl.h>
#include <iconv.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "platform/Files.h"
#include "platform/Log.h"
#include "ziparchive/ZACentralDirectory.h"
#include "ziparchive/ZACompressionPool.h"
#include "ziparchive/ZAExtractionFolder.h"

namespace {

namespace fs = std::filesystem;
using platform::Error;

// Extraction copies each entry through one buffer of this size, reused for every entry.
constexpr std::size_t kExtractBufferSize = 256 * 1024;
// A symbolic link's target is read only up to this size; a longer one is refused.
constexpr std::size_t kMaxLinkTargetSize = 4096;
// Compression level used for -1: zlib's default, a good balance of speed and size.
constexpr int kDefaultCompressionLevel = 6;

Error zipError(std::int64_t code, std::string text) {
  return Error::make(ZAZipArchiveErrorDomain, code, std::move(text));
}

// Set by the base implementation of the fileInfo form of the did-unzip call, so that the caller can
// tell whether the delegate overrides it.
thread_local bool tDidUnzipFileInfoFormOverridden = true;

bool isValidUTF8(const unsigned char* s, std::size_t n) {
  std::size_t i = 0;
  while (i < n) {
    unsigned char c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t extra;
    std::uint32_t code;
    if (c >= 0xC2 && c <= 0xDF) {
      extra = 1;
      code = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2;
      code = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3;
      code = c & 0x07;
    } else {
      return false;
    }
    if (n - i <= extra) return false;
    for (std::size_t k = 1; k <= extra; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return false;
      code = (code << 6) | (s[i + k] & 0x3F);
    }
    if ((extra == 2 && code < 0x800) || (extra == 3 && (code < 0x10000 || code > 0x10FFFF)) ||
        (code >= 0xD800 && code <= 0xDFFF)) {
      return false;
    }
    i += extra + 1;
  }
  return true;
}

// The zip format's legacy code page for names without the UTF-8 flag; nullopt when the bytes do
// not read as a name (control characters) or cannot be converted.
std::optional<std::string> decodeLegacyName(const unsigned char* s, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    if (s[i] < 0x20 || s[i] == 0x7F) return std::nullopt;
  }
  iconv_t cd = ::iconv_open("UTF-8", "CP437");
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::string out(n * 4 + 4, '\0');
  char* in = const_cast<char*>(reinterpret_cast<const char*>(s));
  std::size_t inLeft = n;
  char* o = out.data();
  std::size_t outLeft = out.size();
  std::size_t result = ::iconv(cd, &in, &inLeft, &o, &outLeft);
  ::iconv_close(cd);
  if (result == static_cast<std::size_t>(-1) || inLeft != 0) return std::nullopt;
  out.resize(out.size() - outLeft);
  return out;
}

struct ZipDiscard {
  void operator()(zip_t* archive) const {
    if (archive) zip_discard(archive);
  }
};
using ZipHandle = std::unique_ptr<zip_t, ZipDiscard>;

struct ZipFileClose {
  void operator()(zip_file_t* file) const {
    if (file) zip_fclose(file);
  }
};
using ZipFileHandle = std::unique_ptr<zip_file_t, ZipFileClose>;

int zipFileErrorCode(zip_file_t* file) { return zip_error_code_zip(zip_file_get_error(file)); }

// Errors of an entry's content that mean "these bytes are not what was stored" (a wrong password
// that passed the quick check ends here too).
bool isDataError(int code) {
  return code == ZIP_ER_CRC || code == ZIP_ER_ZLIB || code == ZIP_ER_COMPRESSED_DATA || code == ZIP_ER_EOF ||
         code == ZIP_ER_WRONGPASSWD || code == ZIP_ER_NOPASSWD || code == ZIP_ER_INCONS;
}

// Checks a WinZip AES entry's authentication code (HMAC-SHA1 over the encrypted bytes, keyed from
// the password by PBKDF2) against the raw entry: salt, password verifier, encrypted data, code.
bool aesEntryAuthenticates(zip_t* archive, zip_uint64_t index, const std::string& password) {
  zip_stat_t stat;
  zip_stat_init(&stat);
  if (zip_stat_index(archive, index, 0, &stat) != 0 || !(stat.valid & ZIP_STAT_ENCRYPTION_METHOD) ||
      !(stat.valid & ZIP_STAT_COMP_SIZE)) {
    return false;
  }
  std::size_t keyLength;
  switch (stat.encryption_method) {
    case ZIP_EM_AES_128:
      keyLength = 16;
      break;
    case ZIP_EM_AES_192:
      keyLength = 24;
      break;
    case ZIP_EM_AES_256:
      keyLength = 32;
      break;
    default:
      return false;
  }
  constexpr std::size_t kCodeLength = 10;
  const std::size_t saltLength = keyLength / 2;
  if (stat.comp_size < saltLength + 2 + kCodeLength) return false;
  ZipFileHandle raw(zip_fopen_index(archive, index, ZIP_FL_ENCRYPTED));
  if (!raw) return false;
  auto readExactly = [&](void* out, std::size_t size) {
    auto* p = static_cast<std::uint8_t*>(out);
    while (size > 0) {
      zip_int64_t got = zip_fread(raw.get(), p, size);
      if (got <= 0) return false;
      p += got;
      size -= static_cast<std::size_t>(got);
    }
    return true;
  };
  std::uint8_t salt[16];
  std::uint8_t verifier[2];
  if (!readExactly(salt, saltLength) || !readExactly(verifier, 2)) return false;
  std::uint8_t keys[2 * 32 + 2];
  if (PKCS5_PBKDF2_HMAC_SHA1(password.data(), static_cast<int>(password.size()), salt,
                             static_cast<int>(saltLength), 1000, static_cast<int>(2 * keyLength + 2),
                             keys) != 1 ||
      std::memcmp(keys + 2 * keyLength, verifier, 2) != 0) {
    return false;
  }
  EVP_MAC* mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
  EVP_MAC_CTX* context = mac ? EVP_MAC_CTX_new(mac) : nullptr;
  char digest[] = "SHA1";
  OSSL_PARAM parameters[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                             OSSL_PARAM_construct_end()};
  bool ok = context && EVP_MAC_init(context, keys + keyLength, keyLength, parameters) == 1;
  std::uint64_t left = stat.comp_size - saltLength - 2 - kCodeLength;
  std::vector<std::uint8_t> buffer(64 * 1024);
  while (ok && left > 0) {
    const std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(left, buffer.size()));
    ok = readExactly(buffer.data(), chunk) && EVP_MAC_update(context, buffer.data(), chunk) == 1;
    left -= chunk;
  }
  std::uint8_t computed[EVP_MAX_MD_SIZE];
  std::size_t computedLength = 0;
  std::uint8_t stored[kCodeLength];
  ok = ok && EVP_MAC_final(context, computed, &computedLength, sizeof computed) == 1 &&
       computedLength >= kCodeLength && readExactly(stored, kCodeLength) &&
       std::memcmp(computed, stored, kCodeLength) == 0;
  EVP_MAC_CTX_free(context);
  EVP_MAC_free(mac);
  return ok;
}

// Decides a failed read at the end of an entry: true when it was only the CRC check of a WinZip
// AES entry of the AE-2 kind, which stores no CRC (a zero in its place). libzip 1.7 checks that CRC
// anyway for entries of 20 bytes or more (7-Zip writes AE-2 for every size) and fails them at
// their end; such content, delivered whole, is sound when its authentication code matches.
bool isSpuriousCRCFailure(zip_t* archive, zip_uint64_t index, zip_file_t* file, std::uint64_t delivered,
                          const std::string& password) {
  if (zipFileErrorCode(file) != ZIP_ER_CRC || password.empty()) return false;
  zip_stat_t stat;
  zip_stat_init(&stat);
  if (zip_stat_index(archive, index, 0, &stat) != 0 || !(stat.valid & ZIP_STAT_SIZE) ||
      stat.size != delivered) {
    return false;
  }
  return (stat.valid & ZIP_STAT_CRC) && stat.crc == 0 && aesEntryAuthenticates(archive, index, password);
}

// Opens an entry for reading. Entries whose compression or encryption the library cannot undo are
// refused before the library tries: libzip 1.7 loses memory on that failure.
zip_file_t* openEntry(zip_t* archive, zip_uint64_t index, const std::string& password) {
  zip_stat_t stat;
  zip_stat_init(&stat);
  if (zip_stat_index(archive, index, 0, &stat) != 0) return nullptr;
  if ((stat.valid & ZIP_STAT_COMP_METHOD) && !zip_compression_method_supported(stat.comp_method, 0)) {
    zip_error_set(zip_get_error(archive), ZIP_ER_COMPNOTSUPP, 0);
    return nullptr;
  }
  if ((stat.valid & ZIP_STAT_ENCRYPTION_METHOD) && stat.encryption_method != ZIP_EM_NONE &&
      !zip_encryption_method_supported(stat.encryption_method, 0)) {
    zip_error_set(zip_get_error(archive), ZIP_ER_ENCRNOTSUPP, 0);
    return nullptr;
  }
  return zip_fopen_index_encrypted(archive, index, 0, password.empty() ? nullptr : password.c_str());
}

std::string lowercase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// One extraction: the state of a single call of the full extraction method.
class Extraction {
 public:
  Extraction(const std::string& path, const std::string& destination, bool preserveAttributes, bool overwrite,
             int nestedZipLevel, const std::string& password, ZAZipArchiveDelegate* delegate,
             const ZAZipArchive::ProgressHandler& progressHandler)
      : path_(path),
        folder_(destination),
        destination_(destination),
        preserveAttributes_(preserveAttributes),
        overwrite_(overwrite),
        nestedZipLevel_(nestedZipLevel),
        password_(password),
        delegate_(delegate),
        progressHandler_(progressHandler) {}

  // Runs the extraction; `reachedEntries` tells whether the archive was opened and walked far
  // enough for the completion to name it.
  bool run(std::optional<Error>& runError, bool& reachedEntries);

 private:
  enum class EntryOutcome { next, skipped, stop };
  EntryOutcome extractEntry(std::uint64_t index, const ZACentralDirectory::Record& record);
  bool writeFileEntry(zip_file_t* file, const ZAExtractionFolder::Components& components,
                      const std::string& outputPath, const unz_file_info& info, bool hasSize, bool hasDate,
                      std::time_t date);
  bool writeLinkEntry(zip_file_t* file, const ZAExtractionFolder::Components& components,
                      const std::string& outputPath, const zip_stat_t& stat);
  void fail(Error error) {
    success_ = false;
    error_ = std::move(error);
  }
  // Records a read failure of the current entry's content.
  void failRead(zip_file_t* file) {
    success_ = false;
    if (zipFileErrorCode(file) == ZIP_ER_CRC) {
      crcFailed_ = true;
    } else {
      error_ = zipError(ZAZipArchiveErrorCodeFileContentNotReadable, "failed to read contents of file entry");
    }
  }

  // Fails the entry for a name the file system cannot hold; true when `error` said so.
  bool failForLongName(const Error& error, const std::string& name) {
    if (error.domain != platform::kPOSIXErrorDomain || error.code != ENAMETOOLONG) return false;
    failLongName(name);
    return true;
  }
  void failLongName(const std::string& name) {
    Error error = zipError(ZAZipArchiveErrorCodeNameTooLong,
                           "refused entry \"" + name + "\": its name is too long for the file system");
    error.userInfo["entryName"] = name;
    platform::log("[ZAZipArchive] {}", error.description);
    fail(std::move(error));
  }

  const std::string& path_;
  ZAExtractionFolder folder_;
  std::string destination_;
  bool preserveAttributes_;
  bool overwrite_;
  int nestedZipLevel_;
  const std::string& password_;
  ZAZipArchiveDelegate* delegate_;
  const ZAZipArchive::ProgressHandler& progressHandler_;

  zip_t* archive_ = nullptr;
  zip_uint64_t currentIndex_ = 0;
  unz_global_info globalInfo_;
  std::vector<std::uint8_t> buffer_;
  bool success_ = true;
  bool cancelled_ = false;
  bool crcFailed_ = false;
  std::optional<Error> error_;
  std::int64_t entryNumber_ = -1;
  std::uint64_t position_ = 0;
  std::uint64_t archiveSize_ = 0;
  struct DateRecord {
    ZAExtractionFolder::Components components;
    std::time_t date;
  };
  std::vector<DateRecord> dates_;
};

bool Extraction::run(std::optional<Error>& runError, bool& reachedEntries) {
  reachedEntries = false;
  int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat info {};
  if (fd < 0 || ::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    if (fd >= 0) ::close(fd);
    runError = zipError(ZAZipArchiveErrorCodeFailedOpenZipFile, "failed to open zip file");
    return false;
  }
  archiveSize_ = static_cast<std::uint64_t>(info.st_size);
  int libraryFd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  int openError = 0;
  ZipHandle archive(libraryFd >= 0 ? zip_fdopen(libraryFd, 0, &openError) : nullptr);
  if (!archive) {
    if (libraryFd >= 0) ::close(libraryFd);
    ::close(fd);
    runError = zipError(ZAZipArchiveErrorCodeFailedOpenZipFile, "failed to open zip file");
    return false;
  }
  archive_ = archive.get();
  zip_int64_t count = zip_get_num_entries(archive_, 0);
  globalInfo_.numberOfEntries = count > 0 ? static_cast<std::uint64_t>(count) : 0;
  int commentLength = 0;
  zip_get_archive_comment(archive_, &commentLength, ZIP_FL_ENC_RAW);
  globalInfo_.commentLength = static_cast<std::uint16_t>(std::clamp(commentLength, 0, 0xFFFF));

  std::unique_ptr<ZACentralDirectory> directory;
  if (globalInfo_.numberOfEntries > 0) {
    directory = ZACentralDirectory::locate(fd, globalInfo_.numberOfEntries);
    if (!directory) {
      ::close(fd);
      runError = zipError(ZAZipArchiveErrorCodeFailedOpenFileInZip, "failed to open first file in zip file");
      return false;
    }
  }
  ::close(fd);
  reachedEntries = true;

  if (delegate_) delegate_->zipArchiveWillUnzipArchiveAtPath(path_, globalInfo_);
  if (delegate_) delegate_->zipArchiveProgressEvent(0, archiveSize_);

  buffer_.resize(kExtractBufferSize);
  for (std::uint64_t index = 0; index < globalInfo_.numberOfEntries; ++index) {
    ZACentralDirectory::Record record;
    if (!directory->next(record)) {
      // The library's list and the directory disagree: the entry list is broken.
      fail(zipError(ZAZipArchiveErrorCodeFileInfoNotLoadable, "failed to retrieve info for file"));
      break;
    }
    EntryOutcome outcome = extractEntry(index, record);
    if (outcome == EntryOutcome::stop || !success_) break;
  }
  archive.reset();
  archive_ = nullptr;
  buffer_ = {};

  if (preserveAttributes_ && success_) {
    // Folders get their dates after their contents were written.
    for (const auto& record : dates_) {
      Error dateError;
      if (!folder_.setModificationDate(record.components, record.date, &dateError)) {
        platform::log("[ZAZipArchive] Set attributes failed for directory: {}.",
                      folder_.pathOf(record.components));
        platform::log("[ZAZipArchive] Error setting directory file modification date attribute: {}",
                      dateError.description);
      }
    }
  }
  if (success_ && delegate_) delegate_->zipArchiveDidUnzipArchiveAtPath(path_, globalInfo_, destination_);
  if (!cancelled_ && delegate_) delegate_->zipArchiveProgressEvent(archiveSize_, archiveSize_);

  if (error_) {
    runError = error_;
  } else if (crcFailed_) {
    runError = zipError(ZAZipArchiveErrorCodeFileInfoNotLoadable, "crc check failed for file");
  }
  return success_;
}

Extraction::EntryOutcome Extraction::extractEntry(std::uint64_t index,
                                                  const ZACentralDirectory::Record& record) {
  currentIndex_ = index;
  ZipFileHandle file(openEntry(archive_, index, password_));
  if (!file) {
    fail(zipError(ZAZipArchiveErrorCodeFailedOpenFileInZip, "failed to open file in zip file"));
    return EntryOutcome::stop;
  }
  ++entryNumber_;
  zip_stat_t stat;
  zip_stat_init(&stat);
  const char* libraryName = zip_get_name(archive_, index, ZIP_FL_ENC_RAW);
  std::string expectedName = record.rawName;
  // The library shows a NUL in a name as a space.
  std::replace(expectedName.begin(), expectedName.end(), '\0', ' ');
  if (zip_stat_index(archive_, index, ZIP_FL_ENC_RAW, &stat) != 0 || !libraryName ||
      expectedName != libraryName) {
    fail(zipError(ZAZipArchiveErrorCodeFileInfoNotLoadable, "failed to retrieve info for file"));
    return EntryOutcome::stop;
  }
  unz_file_info info = record.info;
  if (stat.valid & ZIP_STAT_SIZE) info.uncompressedSize = stat.size;
  if (stat.valid & ZIP_STAT_COMP_SIZE) info.compressedSize = stat.comp_size;
  if (stat.valid & ZIP_STAT_CRC) info.crc = stat.crc;
  position_ += info.compressedSize;

  const auto total = static_cast<std::int64_t>(globalInfo_.numberOfEntries);
  if (delegate_ && !delegate_->zipArchiveShouldUnzipFileAtIndex(entryNumber_, total, path_, info)) {
    success_ = false;
    cancelled_ = true;
    return EntryOutcome::stop;
  }
  if (delegate_) {
    delegate_->zipArchiveWillUnzipFileAtIndex(entryNumber_, total, path_, info);
    delegate_->zipArchiveProgressEvent(position_, archiveSize_);
  }

  const std::string& raw = record.rawName;
  const bool fromUnix = (info.versionMadeBy >> 8) == kZAHostUnix;
  const bool isSymbolicLink = fromUnix && (info.externalAttributes & 0xF0000000u) == 0xA0000000u;
  std::string name = ZAZipArchive::_filenameStringWithCString(raw.data(), raw.size());
  if (name.rfind("__MACOSX/", 0) == 0) return EntryOutcome::skipped;
  if (name.empty()) name = std::to_string(entryNumber_);
  const bool isFolder = !raw.empty() && (raw.back() == '/' || raw.back() == '\\');
  std::replace(name.begin(), name.end(), '\\', '/');
  std::string outputPath = (fs::path(destination_) / name).string();
  while (outputPath.size() > 1 && outputPath.back() == '/') outputPath.pop_back();

  auto components = ZAExtractionFolder::componentsOfEntryName(name);
  if (raw.find('\0') != std::string::npos || !components || (!isFolder && components->empty())) {
    Error error = zipError(ZAZipArchiveErrorCodeUnsafeEntryName,
                           "refused entry \"" + name + "\": its name leads outside the destination");
    error.userInfo["entryName"] = name;
    platform::log("[ZAZipArchive] {}", error.description);
    fail(std::move(error));
    return EntryOutcome::stop;
  }

  // Names are made one part at a time: a part longer than any file system takes cannot be written.
  for (const auto& component : *components) {
    if (component.size() > NAME_MAX) {
      failLongName(name);
      return EntryOutcome::stop;
    }
  }

  std::optional<std::time_t> date;
  if (preserveAttributes_ && info.dosDate != 0) {
    date = static_cast<std::time_t>(ZAZipArchive::_dateWithMSDOSFormat(info.dosDate).timeIntervalSince1970());
    dates_.push_back({*components, *date});
  }

  Error folderError;
  if (!folder_.createFolders(*components, isFolder ? components->size() : components->size() - 1, date,
                             &folderError)) {
    if (failForLongName(folderError, name)) return EntryOutcome::stop;
    platform::log("[ZAZipArchive] Error: {}", folderError.description);
    fail(std::move(folderError));
    return EntryOutcome::stop;
  }
  if (!isFolder && !overwrite_ && folder_.exists(*components)) return EntryOutcome::skipped;

  // A failed entry ends the run without the did-unzip calls.
  if (isSymbolicLink) {
    if (!writeLinkEntry(file.get(), *components, outputPath, stat)) return EntryOutcome::stop;
  } else if (!isFolder) {
    if (!writeFileEntry(file.get(), *components, outputPath, info, (stat.valid & ZIP_STAT_SIZE) != 0,
                        date.has_value(), date.value_or(0))) {
      return EntryOutcome::stop;
    }
  }
  file.reset();

  if (delegate_) {
    tDidUnzipFileInfoFormOverridden = true;
    delegate_->zipArchiveDidUnzipFileAtIndex(entryNumber_, total, path_, info);
    if (!tDidUnzipFileInfoFormOverridden) {
      delegate_->zipArchiveDidUnzipFileAtIndex(entryNumber_, total, path_, outputPath);
    }
  }
  if (progressHandler_) progressHandler_(name, info, entryNumber_, total);
  return EntryOutcome::next;
}

bool Extraction::writeLinkEntry(zip_file_t* file, const ZAExtractionFolder::Components& components,
                                const std::string& outputPath, const zip_stat_t& stat) {
  if ((stat.valid & ZIP_STAT_SIZE) && stat.size > kMaxLinkTargetSize) {
    fail(zipError(ZAZipArchiveErrorCodeUnsafeSymbolicLink,
                  "refused symbolic link at \"" + outputPath + "\": its target is too long"));
    return false;
  }
  std::string target;
  char chunk[kMaxLinkTargetSize + 1];
  for (;;) {
    zip_int64_t got = zip_fread(file, chunk, sizeof chunk);
    if (got < 0 && isSpuriousCRCFailure(archive_, currentIndex_, file, target.size(), password_)) break;
    if (got < 0) {
      failRead(file);
      return false;
    }
    if (got == 0) break;
    target.append(chunk, static_cast<std::size_t>(got));
    if (target.size() > kMaxLinkTargetSize) {
      fail(zipError(ZAZipArchiveErrorCodeUnsafeSymbolicLink,
                    "refused symbolic link at \"" + outputPath + "\": its target is too long"));
      return false;
    }
  }
  if (!ZAExtractionFolder::isContainedLinkTarget(components, target)) {
    Error error = zipError(ZAZipArchiveErrorCodeUnsafeSymbolicLink,
                           "refused symbolic link at \"" + outputPath + "\" to \"" + target +
                               "\": its target leads outside the destination");
    platform::log("[ZAZipArchive] {}", error.description);
    fail(std::move(error));
    return false;
  }
  if (overwrite_ && folder_.exists(components)) {
    Error removeError;
    if (!folder_.removeItem(components, &removeError)) {
      std::string message = "Failed to delete existing symbolic link at \"" + outputPath + "\"";
      platform::log("[ZAZipArchive] {}", message);
      fail(zipError(removeError.code, message));
    }
  }
  Error linkError;
  if (!folder_.createSymbolicLink(components, target, &linkError)) {
    if (failForLongName(linkError, outputPath)) return false;
    std::string message = "Failed to create symbolic link at \"" + outputPath + "\" to \"" + target +
                          "\" - symlink() error code: " + std::to_string(linkError.code);
    platform::log("[ZAZipArchive] {}", message);
    fail(Error::make(platform::kPOSIXErrorDomain, -1, message));
  }
  return success_;
}

bool Extraction::writeFileEntry(zip_file_t* file, const ZAExtractionFolder::Components& components,
                                const std::string& outputPath, const unz_file_info& info, bool hasSize,
                                bool hasDate, std::time_t date) {
  Error createError;
  auto pending = folder_.beginFile(components, &createError);
  if (!pending) {
    if (failForLongName(createError, outputPath)) return false;
    platform::log("[ZAZipArchive] Error: {}",
                  createError.description.empty() ? outputPath : createError.description);
    fail(std::move(createError));
    return false;
  }
  // The content is held to the size the entry declares: a lying entry (10 bytes declared, a
  // mebibyte inflated) writes no more than it declared and fails, as does one that ends short.
  const std::uint64_t declared = info.uncompressedSize;
  auto sizeMismatch = [&](const char* how) {
    Error error = zipError(ZAZipArchiveErrorCodeSizeMismatch,
                           "refused entry \"" + outputPath + "\": its content is " + how + " than the " +
                               std::to_string(declared) + " bytes it declares");
    platform::log("[ZAZipArchive] {}", error.description);
    fail(std::move(error));
    return false;
  };
  std::uint64_t delivered = 0;
  for (;;) {
    std::size_t want = buffer_.size();
    // One byte past the declared end is asked for, to tell a longer content.
    if (hasSize) want = static_cast<std::size_t>(std::min<std::uint64_t>(want, declared - delivered + 1));
    zip_int64_t got = zip_fread(file, buffer_.data(), want);
    if (got < 0 && isSpuriousCRCFailure(archive_, currentIndex_, file, delivered, password_)) break;
    if (got < 0) {
      failRead(file);
      return false;
    }
    if (got == 0) break;
    if (hasSize && delivered + static_cast<std::uint64_t>(got) > declared) return sizeMismatch("longer");
    delivered += static_cast<std::uint64_t>(got);
    if (!pending->write(buffer_.data(), static_cast<std::size_t>(got), nullptr)) {
      platform::log("[ZAZipArchive] {}", "Failed to write file (check your free space)");
      fail(zipError(ZAZipArchiveErrorCodeFailedToWriteFile, "Failed to write file (check your free space)"));
      return false;
    }
  }
  if (hasSize && delivered != declared) return sizeMismatch("shorter");
  if (preserveAttributes_) {
    if (hasDate && !pending->setModificationDate(date)) {
      platform::log("[ZAZipArchive] Failed to set attributes - whilst setting modification date");
    }
    // Only the permission bits of entries made on Unix; set-id and sticky bits are never applied,
    // and the owner can always read and write what was extracted.
    const std::uint32_t mode = info.externalAttributes >> 16;
    if ((info.versionMadeBy >> 8) == kZAHostUnix && mode != 0 &&
        !pending->setPermissions((mode & 0777) | 0600)) {
      platform::log("[ZAZipArchive] Failed to set attributes - whilst setting permissions");
    }
  }
  Error commitError;
  if (!pending->commit(&commitError)) {
    if (failForLongName(commitError, outputPath)) return false;
    platform::log("[ZAZipArchive] Error: {}", commitError.description);
    if (folder_.isFolder(components)) {
      fail(std::move(commitError));
    } else {
      fail(zipError(ZAZipArchiveErrorCodeFailedToWriteFile, "Failed to write file (check your free space)"));
    }
    return false;
  }

  if (nestedZipLevel_ > 0 && lowercase(fs::path(outputPath).extension().string()) == ".zip") {
    const std::string containing = fs::path(outputPath).parent_path().string();
    if (ZAZipArchive::unzipFileAtPath(outputPath, containing, preserveAttributes_, overwrite_,
                                      nestedZipLevel_ - 1, password_, nullptr, nullptr, nullptr, nullptr)) {
      if (hasDate && !dates_.empty()) dates_.pop_back();
      folder_.removeItem(components, nullptr);
    }
  }
  return true;
}

// Lists every item below a folder (hidden ones too), folders before their contents, without
// following links to folders. False when some folder could not be read.
struct FolderItem {
  std::string relativePath;
  bool isFolder = false;
  bool isEmptyFolder = false;
};

bool listFolder(const fs::path& root, const std::string& prefix, std::vector<FolderItem>& items) {
  std::error_code ec;
  std::vector<std::pair<std::string, bool>> children;
  for (fs::directory_iterator it(root / prefix, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code typeError;
    bool isFolder = it->is_directory(typeError) && !it->is_symlink(typeError);
    children.emplace_back(it->path().filename().string(), isFolder);
  }
  if (ec) return false;
  std::sort(children.begin(), children.end());
  bool ok = true;
  for (const auto& [name, isFolder] : children) {
    std::string relative = prefix.empty() ? name : prefix + "/" + name;
    items.push_back({relative, isFolder, false});
    if (isFolder) {
      std::size_t at = items.size() - 1;
      std::size_t before = items.size();
      bool listed = listFolder(root, relative, items);
      ok = listed && ok;
      items[at].isEmptyFolder = listed && items.size() == before;
    }
  }
  return ok;
}

// Registers a progress callback on a libzip handle that forwards to a std::function.
void forwardProgress(zip_t* archive, double fraction, void* context) {
  (void)archive;
  auto* handler = static_cast<std::function<void(double)>*>(context);
  if (handler && *handler) (*handler)(fraction);
}

int libraryLevel(int compressionLevel) {
  if (compressionLevel < 0) return kDefaultCompressionLevel;
  return std::min(compressionLevel, 9);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Delegate

void ZAZipArchiveDelegate::zipArchiveDidUnzipFileAtIndex(std::int64_t fileIndex, std::int64_t totalFiles,
                                                         const std::string& archivePath,
                                                         const unz_file_info& fileInfo) {
  (void)fileIndex, (void)totalFiles, (void)archivePath, (void)fileInfo;
  tDidUnzipFileInfoFormOverridden = false;
}

// ---------------------------------------------------------------------------------------------
// Extraction entry points

bool ZAZipArchive::unzipFileAtPath(const std::string& path, const std::string& destination) {
  return unzipFileAtPath(path, destination, true, true, 0, "", nullptr, nullptr, nullptr, nullptr);
}

bool ZAZipArchive::unzipFileAtPath(const std::string& path, const std::string& destination,
                                   ZAZipArchiveDelegate* delegate) {
  return unzipFileAtPath(path, destination, true, true, 0, "", nullptr, delegate, nullptr, nullptr);
}

bool ZAZipArchive::unzipFileAtPath(const std::string& path, const std::string& destination, bool overwrite,
                                   const std::string& password, Error* error) {
  return unzipFileAtPath(path, destination, true, overwrite, 0, password, error, nullptr, nullptr, nullptr);
}

bool ZAZipArchive::unzipFileAtPath(const std::string& path, const std::string& destination, bool overwrite,
                                   const std::string& password, Error* error,
                                   ZAZipArchiveDelegate* delegate) {
  return unzipFileAtPath(path, destination, true, overwrite, 0, password, error, delegate, nullptr, nullptr);
}

bool ZAZipArchive::unzipFileAtPath(const std::string& path, const std::string& destination, bool overwrite,
                                   const std::string& password, ProgressHandler progressHandler,
                                   CompletionHandler completionHandler) {
  return unzipFileAtPath(path, destination, true, overwrite, 0, password, nullptr, nullptr,
                         std::move(progressHandler), std::move(completionHandler));
}

bool ZAZipArchive::unzipFileAtPath(const std::string& path, const std::string& destination,
                                   ProgressHandler progressHandler, CompletionHandler completionHandler) {
  return unzipFileAtPath(path, destination, true, true, 0, "", nullptr, nullptr, std::move(progressHandler),
                         std::move(completionHandler));
}

bool ZAZipArchive::unzipFileAtPath(const std::string& path, const std::string& destination,
                                   bool preserveAttributes, bool overwrite, const std::string& password,
                                   Error* error, ZAZipArchiveDelegate* delegate) {
  return unzipFileAtPath(path, destination, preserveAttributes, overwrite, 0, password, error, delegate,
                         nullptr, nullptr);
}

bool ZAZipArchive::unzipFileAtPath(const std::string& path, const std::string& destination,
                                   bool preserveAttributes, bool overwrite, const std::string& password,
                                   Error* error, ZAZipArchiveDelegate* delegate,
                                   ProgressHandler progressHandler, CompletionHandler completionHandler) {
  return unzipFileAtPath(path, destination, preserveAttributes, overwrite, 0, password, error, delegate,
                         std::move(progressHandler), std::move(completionHandler));
}

bool ZAZipArchive::unzipFileAtPath(const std::string& path, const std::string& destination,
                                   bool preserveAttributes, bool overwrite, int nestedZipLevel,
                                   const std::string& password, Error* error, ZAZipArchiveDelegate* delegate,
                                   ProgressHandler progressHandler, CompletionHandler completionHandler) {
  std::optional<Error> runError;
  bool reachedEntries = false;
  bool success = false;
  if (path.empty() || destination.empty()) {
    runError = zipError(ZAZipArchiveErrorCodeInvalidArguments, "received invalid argument(s)");
  } else {
    Extraction extraction(path, destination, preserveAttributes, overwrite, nestedZipLevel, password,
                          delegate, progressHandler);
    success = extraction.run(runError, reachedEntries);
  }
  if (error && runError) *error = *runError;
  if (completionHandler) {
    completionHandler(reachedEntries ? std::optional<std::string>(path) : std::nullopt, success, runError);
  }
  return success;
}

std::optional<std::vector<std::string>> ZAZipArchive::entryNamesOfArchiveAtPath(const std::string& path,
                                                                                platform::Error* error) {
  int openError = 0;
  ZipHandle archive(zip_open(path.c_str(), ZIP_RDONLY, &openError));
  if (!archive) {
    platform::fail(error, zipError(ZAZipArchiveErrorCodeFailedOpenZipFile, "failed to open zip file"));
    return std::nullopt;
  }
  const zip_int64_t count = zip_get_num_entries(archive.get(), 0);
  std::vector<std::string> names;
  names.reserve(count > 0 ? static_cast<std::size_t>(count) : 0);
  for (zip_int64_t index = 0; index < count; ++index) {
    const char* raw = zip_get_name(archive.get(), static_cast<zip_uint64_t>(index), ZIP_FL_ENC_RAW);
    if (!raw) {
      platform::fail(error,
                     zipError(ZAZipArchiveErrorCodeFileInfoNotLoadable, "failed to retrieve info for file"));
      return std::nullopt;
    }
    std::string name = _filenameStringWithCString(raw, std::strlen(raw));
    std::replace(name.begin(), name.end(), '\\', '/');
    names.push_back(std::move(name));
  }
  return names;
}

// ---------------------------------------------------------------------------------------------
// Password tests

bool ZAZipArchive::isFilePasswordProtectedAtPath(const std::string& path) {
  int openError = 0;
  ZipHandle archive(path.empty() ? nullptr : zip_open(path.c_str(), ZIP_RDONLY, &openError));
  if (!archive) return false;
  zip_int64_t count = zip_get_num_entries(archive.get(), 0);
  for (zip_int64_t index = 0; index < count; ++index) {
    zip_stat_t stat;
    zip_stat_init(&stat);
    if (zip_stat_index(archive.get(), static_cast<zip_uint64_t>(index), 0, &stat) != 0) return false;
    if ((stat.valid & ZIP_STAT_ENCRYPTION_METHOD) && stat.encryption_method != ZIP_EM_NONE) return true;
  }
  return false;
}

bool ZAZipArchive::isPasswordValidForArchiveAtPath(const std::string& path, const std::string& password,
                                                   Error* error) {
  if (error) *error = Error{};
  int openError = 0;
  ZipHandle archive(path.empty() ? nullptr : zip_open(path.c_str(), ZIP_RDONLY, &openError));
  if (!archive) {
    return platform::fail(error, zipError(ZAZipArchiveErrorCodeFailedOpenZipFile, "failed to open zip file"));
  }
  zip_int64_t count = zip_get_num_entries(archive.get(), 0);
  for (zip_int64_t i = 0; i < count; ++i) {
    const auto index = static_cast<zip_uint64_t>(i);
    zip_stat_t stat;
    zip_stat_init(&stat);
    if (zip_stat_index(archive.get(), index, 0, &stat) != 0) {
      return platform::fail(
          error, zipError(ZAZipArchiveErrorCodeFileInfoNotLoadable, "failed to retrieve info for file"));
    }
    const bool encrypted = (stat.valid & ZIP_STAT_ENCRYPTION_METHOD) && stat.encryption_method != ZIP_EM_NONE;
    ZipFileHandle file(openEntry(archive.get(), index, password));
    if (!file) {
      int code = zip_error_code_zip(zip_get_error(archive.get()));
      if (encrypted && (code == ZIP_ER_WRONGPASSWD || code == ZIP_ER_NOPASSWD)) return false;
      return platform::fail(
          error, zipError(ZAZipArchiveErrorCodeFailedOpenFileInZip, "failed to open first file in zip file"));
    }
    if (!encrypted) continue;
    // The whole entry is read: only its checksum (or authentication code) tells a wrong password
    // that passed the header's quick check from the right one.
    std::vector<char> buffer(64 * 1024);
    std::uint64_t delivered = 0;
    for (;;) {
      zip_int64_t got = zip_fread(file.get(), buffer.data(), buffer.size());
      if (got == 0) return true;
      if (got > 0) delivered += static_cast<std::uint64_t>(got);
      if (got < 0 && isSpuriousCRCFailure(archive.get(), index, file.get(), delivered, password)) return true;
      if (got < 0) {
        if (isDataError(zipFileErrorCode(file.get()))) return false;
        return platform::fail(error, zipError(ZAZipArchiveErrorCodeFileContentNotReadable,
                                              "failed to read contents of file entry"));
      }
    }
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// Writing: whole archives

bool ZAZipArchive::createZipFileAtPathWithFilesAtPaths(const std::string& path,
                                                       const std::vector<std::string>& paths) {
  return createZipFileAtPathWithFilesAtPaths(path, paths, "");
}

bool ZAZipArchive::createZipFileAtPathWithFilesAtPaths(const std::string& path,
                                                       const std::vector<std::string>& paths,
                                                       const std::string& password) {
  auto archive = initWithPath(path);
  if (!archive->open()) return false;
  bool ok = true;
  for (const auto& file : paths) ok = archive->writeFile(file, password) && ok;
  return archive->close() && ok;
}

bool ZAZipArchive::createZipFileAtPathWithContentsOfDirectory(const std::string& path,
                                                              const std::string& directoryPath) {
  return createZipFileAtPathWithContentsOfDirectory(path, directoryPath, std::string());
}

bool ZAZipArchive::createZipFileAtPathWithContentsOfDirectory(const std::string& path,
                                                              const std::string& directoryPath,
                                                              const std::string& password) {
  return createZipFileAtPathWithContentsOfDirectory(path, directoryPath, false, password);
}

bool ZAZipArchive::createZipFileAtPathWithContentsOfDirectory(const std::string& path,
                                                              const std::string& directoryPath,
                                                              const char* password) {
  return createZipFileAtPathWithContentsOfDirectory(path, directoryPath, false,
                                                    std::string(password ? password : ""));
}

bool ZAZipArchive::createZipFileAtPathWithContentsOfDirectory(const std::string& path,
                                                              const std::string& directoryPath,
                                                              bool keepParentDirectory) {
  return createZipFileAtPathWithContentsOfDirectory(path, directoryPath, keepParentDirectory, std::string());
}

bool ZAZipArchive::createZipFileAtPathWithContentsOfDirectory(const std::string& path,
                                                              const std::string& directoryPath,
                                                              bool keepParentDirectory,
                                                              const std::string& password) {
  return createZipFileAtPathWithContentsOfDirectory(path, directoryPath, keepParentDirectory, password,
                                                    nullptr);
}

bool ZAZipArchive::createZipFileAtPathWithContentsOfDirectory(const std::string& path,
                                                              const std::string& directoryPath,
                                                              bool keepParentDirectory,
                                                              const std::string& password,
                                                              CreateProgressHandler progressHandler) {
  return createZipFileAtPathWithContentsOfDirectory(path, directoryPath, keepParentDirectory, -1, password,
                                                    true, std::move(progressHandler));
}

bool ZAZipArchive::createZipFileAtPathWithContentsOfDirectory(const std::string& path,
                                                              const std::string& directoryPath,
                                                              bool keepParentDirectory, int compressionLevel,
                                                              const std::string& password, bool aes,
                                                              CreateProgressHandler progressHandler) {
  auto archive = initWithPath(path);
  if (!archive->open()) return false;
  std::string folder = directoryPath;
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  const std::string parentName = fs::path(folder).filename().string();

  std::vector<FolderItem> items;
  bool ok = listFolder(folder, "", items);
  const std::uint64_t total = items.size();
  // The items handled once each written entry is done: entries are written by `close`, so that is
  // when progress is told.
  std::vector<std::uint64_t> handledAfterEntry;
  for (std::size_t i = 0; i < items.size(); ++i) {
    const FolderItem& item = items[i];
    const std::string fullPath = folder + "/" + item.relativePath;
    const std::string entryName =
        keepParentDirectory ? parentName + "/" + item.relativePath : item.relativePath;
    bool added = false;
    if (item.isFolder) {
      if (item.isEmptyFolder) {
        added = archive->writeFolderAtPath(fullPath, entryName, password);
        ok = added && ok;
      }
    } else {
      added = archive->writeFileAtPath(fullPath, entryName, compressionLevel, password, aes);
      ok = added && ok;
    }
    if (added) handledAfterEntry.push_back(i + 1);
  }

  std::uint64_t reported = 0;
  if (progressHandler) {
    archive->setWriteProgressHandler([&](double fraction) {
      const std::size_t entries = handledAfterEntry.size();
      auto done = static_cast<std::size_t>(std::floor(fraction * static_cast<double>(entries) + 1e-9));
      done = std::min(done, entries);
      std::uint64_t handled = done == 0 ? 0 : handledAfterEntry[done - 1];
      if (done == entries) handled = total;
      if (handled > reported) {
        reported = handled;
        progressHandler(handled, total);
      }
    });
  }
  const bool closed = archive->close();
  if (progressHandler && closed && reported < total) progressHandler(total, total);
  return closed && ok;
}

// ---------------------------------------------------------------------------------------------
// Writing: one archive, entry by entry

std::shared_ptr<ZAZipArchive> ZAZipArchive::initWithPath(const std::string& path) {
  if (path.empty()) throw std::invalid_argument("ZAZipArchive needs an archive path");
  return std::shared_ptr<ZAZipArchive>(new ZAZipArchive(path));
}

ZAZipArchive::ZAZipArchive(std::string path) : path_(std::move(path)) {}

ZAZipArchive::~ZAZipArchive() {
  // An archive that was never closed is dropped: nothing was written to its path.
  if (handle_) zip_discard(handle_);
}

bool ZAZipArchive::open() {
  if (handle_) {
    zip_discard(handle_);
    handle_ = nullptr;
  }
  // The archive is written when it is closed; make sure now that it can be.
  struct stat info {};
  if (::stat(path_.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return false;
  fs::path parent = fs::path(path_).parent_path();
  if (parent.empty()) parent = ".";
  if (::stat(parent.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) ||
      ::access(parent.c_str(), W_OK | X_OK) != 0) {
    return false;
  }
  int openError = 0;
  handle_ = zip_open(path_.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &openError);
  precompression_ = std::make_shared<Precompression>();
  return handle_ != nullptr;
}

namespace {}  // namespace

// Files deflated ahead of the writer on worker threads (see ZACompressionPool). Entries without a
// password, deflated, and not larger than kPrecompressLimit take part; the others are compressed
// by the library as it writes them, while the workers go on ahead.
struct ZAZipArchive::Precompression {
  struct Entry {
    zip_uint64_t index;
    std::shared_ptr<ZACompressionPool::Job> job;
  };
  std::vector<Entry> entries;
  std::unique_ptr<ZACompressionPool> pool;  // present while the archive is being written
};

namespace {

// Files up to this size are deflated ahead on worker threads; larger ones stream through the
// library so that memory stays flat.
constexpr std::uint64_t kPrecompressLimit = 16 * 1024 * 1024;
// How far (in source bytes) the workers may run ahead of the writer.
constexpr std::uint64_t kPrecompressWindow = 64 * 1024 * 1024;

unsigned precompressThreads() {
  const unsigned cores = std::thread::hardware_concurrency();
  return std::clamp(cores, 1u, 4u);
}

// The content of one entry, read when the archive is written: a file (opened only then, so that a
// large tree never holds many descriptors) or bytes held in memory. It reports the entry's date as
// its own modification time, which the library uses for the entry header and for the check byte of
// the traditional encryption; both must agree.
class EntrySource {
 public:
  static zip_source_t* fromFile(const std::string& path, std::time_t mtime,
                                std::shared_ptr<ZAZipArchive::Precompression> precompression = nullptr,
                                std::shared_ptr<ZACompressionPool::Job> job = nullptr) {
    auto* source = new EntrySource(mtime);
    source->path_ = path;
    source->fromFile_ = true;
    source->precompression_ = std::move(precompression);
    source->job_ = std::move(job);
    return source->create();
  }
  static zip_source_t* fromBytes(const void* bytes, std::size_t size, std::time_t mtime) {
    auto* source = new EntrySource(mtime);
    const auto* begin = static_cast<const std::uint8_t*>(bytes);
    source->bytes_.assign(begin, begin + size);
    return source->create();
  }

 private:
  explicit EntrySource(std::time_t mtime) : mtime_(mtime) { zip_error_init(&error_); }
  ~EntrySource() {
    closeFile();
    releaseJob();
    zip_error_fini(&error_);
  }

  // The worker's result, when the file was deflated ahead: only while the archive is written.
  ZACompressionPool::Job* readyJob() {
    if (!job_ || !precompression_ || !precompression_->pool || !job_->queued) return nullptr;
    precompression_->pool->wait(*job_);
    return job_.get();
  }

  void releaseJob() {
    if (!job_) return;
    if (precompression_ && precompression_->pool) {
      precompression_->pool->release(*job_);
    } else {
      job_->released = true;
    }
  }

  zip_source_t* create() {
    zip_source_t* source = zip_source_function_create(&EntrySource::callback, this, nullptr);
    if (!source) delete this;
    return source;
  }

  void closeFile() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  zip_int64_t fail(int zipCode, int systemCode) {
    zip_error_set(&error_, zipCode, systemCode);
    return -1;
  }

  // The size as it is now: a file is read up to the size it has when the archive is written.
  bool measure() {
    if (!fromFile_) {
      size_ = bytes_.size();
      return true;
    }
    struct stat info {};
    if ((fd_ >= 0 ? ::fstat(fd_, &info) : ::stat(path_.c_str(), &info)) != 0) return false;
    size_ = static_cast<std::uint64_t>(info.st_size);
    return true;
  }

  zip_int64_t handle(void* data, zip_uint64_t length, zip_source_cmd_t command) {
    switch (command) {
      case ZIP_SOURCE_OPEN:
        offset_ = 0;
        if (auto* job = readyJob()) {
          if (job->error != 0) return fail(ZIP_ER_READ, job->error > 0 ? job->error : 0);
          // The bytes are kept only until they were copied once.
          if (job->released) return fail(ZIP_ER_INTERNAL, 0);
          precompressed_ = true;
          size_ = job->compressedSize;
        } else if (fromFile_) {
          fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
          if (fd_ < 0) return fail(ZIP_ER_OPEN, errno);
          if (!measure()) return fail(ZIP_ER_READ, errno);
        } else {
          size_ = bytes_.size();
        }
        return 0;
      case ZIP_SOURCE_READ: {
        const std::uint64_t wanted = std::min<std::uint64_t>(length, size_ - offset_);
        if (wanted == 0) return 0;
        if (precompressed_ || !fromFile_) {
          const std::uint8_t* from = precompressed_ ? job_->compressed.data() : bytes_.data();
          std::memcpy(data, from + offset_, static_cast<std::size_t>(wanted));
          offset_ += wanted;
          return static_cast<zip_int64_t>(wanted);
        }
        for (;;) {
          ssize_t got = ::read(fd_, data, static_cast<std::size_t>(wanted));
          if (got < 0 && errno == EINTR) continue;
          if (got < 0) return fail(ZIP_ER_READ, errno);
          // A file that shrank while it was read ends early; the entry holds what was there.
          if (got == 0) size_ = offset_;
          offset_ += static_cast<std::uint64_t>(got);
          return got;
        }
      }
      case ZIP_SOURCE_CLOSE:
        closeFile();
        // Deflated bytes are dropped once they were copied whole, to keep memory flat.
        if (precompressed_ && offset_ == size_) releaseJob();
        precompressed_ = false;
        return 0;
      case ZIP_SOURCE_STAT: {
        if (length < sizeof(zip_stat_t)) return fail(ZIP_ER_INVAL, 0);
        auto* stat = static_cast<zip_stat_t*>(data);
        zip_stat_init(stat);
        stat->mtime = mtime_;
        stat->valid |= ZIP_STAT_MTIME;
        if (auto* job = readyJob()) {
          if (job->error != 0) return fail(ZIP_ER_READ, job->error > 0 ? job->error : 0);
          // Already deflated: the library copies these bytes as they are.
          stat->size = job->size;
          stat->comp_size = job->compressedSize;
          stat->crc = job->crc;
          stat->comp_method = ZIP_CM_DEFLATE;
          stat->valid |= ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE | ZIP_STAT_CRC | ZIP_STAT_COMP_METHOD;
        } else if (measure()) {
          stat->size = size_;
          stat->valid |= ZIP_STAT_SIZE;
        }
        return sizeof(zip_stat_t);
      }
      case ZIP_SOURCE_ERROR:
        return zip_error_to_data(&error_, data, length);
      case ZIP_SOURCE_FREE:
        delete this;
        return 0;
      case ZIP_SOURCE_SUPPORTS:
        return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE,
                                              ZIP_SOURCE_STAT, ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, -1);
      default:
        return fail(ZIP_ER_OPNOTSUPP, 0);
    }
  }

  static zip_int64_t callback(void* userdata, void* data, zip_uint64_t length, zip_source_cmd_t command) {
    return static_cast<EntrySource*>(userdata)->handle(data, length, command);
  }

  std::string path_;
  std::vector<std::uint8_t> bytes_;
  bool fromFile_ = false;
  std::shared_ptr<ZAZipArchive::Precompression> precompression_;
  std::shared_ptr<ZACompressionPool::Job> job_;
  bool precompressed_ = false;
  std::time_t mtime_;
  int fd_ = -1;
  std::uint64_t size_ = 0;
  std::uint64_t offset_ = 0;
  zip_error_t error_;
};

// The date an entry gets: the DOS date's own moment, so that the library, which converts the
// moment back to a DOS date, stores exactly this DOS date.
std::time_t entryTime(const zip_fileinfo& info) {
  return static_cast<std::time_t>(ZAZipArchive::_dateWithMSDOSFormat(info.dosDate).timeIntervalSince1970());
}

// Applies what every entry gets besides its date: attributes from a Unix host, compression and
// encryption.
bool configureEntry(zip_t* archive, zip_int64_t index, const zip_fileinfo& info, int compressionLevel,
                    const std::string& password, bool aes) {
  const auto i = static_cast<zip_uint64_t>(index);
  const int level = libraryLevel(compressionLevel);
  if (zip_set_file_compression(archive, i, level == 0 ? ZIP_CM_STORE : ZIP_CM_DEFLATE,
                               static_cast<zip_uint32_t>(level)) != 0) {
    return false;
  }
  if (zip_file_set_external_attributes(archive, i, 0, kZAHostUnix, info.externalAttributes) != 0)
    return false;
  if (!password.empty() &&
      zip_file_set_encryption(archive, i, aes ? ZIP_EM_AES_256 : ZIP_EM_TRAD_PKWARE, password.c_str()) != 0) {
    return false;
  }
  return true;
}

// Adds a prepared source under `name`; the source is consumed either way.
bool addEntry(zip_t* archive, const std::string& name, zip_source_t* source, const zip_fileinfo& info,
              int compressionLevel, const std::string& password, bool aes,
              zip_uint64_t* addedIndex = nullptr) {
  if (!source) return false;
  zip_int64_t index = zip_file_add(archive, name.c_str(), source, ZIP_FL_ENC_GUESS | ZIP_FL_OVERWRITE);
  if (index < 0) {
    zip_source_free(source);
    return false;
  }
  if (!configureEntry(archive, index, info, compressionLevel, password, aes)) {
    zip_delete(archive, static_cast<zip_uint64_t>(index));
    return false;
  }
  if (addedIndex) *addedIndex = static_cast<zip_uint64_t>(index);
  return true;
}

}  // namespace

bool ZAZipArchive::writeFileAtPath(const std::string& path, const std::string& fileName, int compressionLevel,
                                   const std::string& password, bool aes) {
  if (!handle_ || path.empty()) return false;
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) return false;
  const std::string name = fileName.empty() ? fs::path(path).filename().string() : fileName;
  if (name.empty()) return false;
  zip_fileinfo zipInfo;
  zipInfoSetAttributesOfItemAtPath(zipInfo, path);

  zip_source_t* source = nullptr;
  if (S_ISLNK(info.st_mode)) {
    // A link is stored as a link: its target is the entry's content.
    char target[kMaxLinkTargetSize + 1];
    ssize_t length = ::readlink(path.c_str(), target, sizeof target);
    if (length < 0 || static_cast<std::size_t>(length) > kMaxLinkTargetSize) return false;
    source = EntrySource::fromBytes(target, static_cast<std::size_t>(length), entryTime(zipInfo));
  } else if (S_ISREG(info.st_mode)) {
    // Checked now so that a file that cannot be read is refused here; its content is read when the
    // archive is written.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    ::close(fd);
    const int level = libraryLevel(compressionLevel);
    if (password.empty() && level > 0 && static_cast<std::uint64_t>(info.st_size) <= kPrecompressLimit) {
      auto job = std::make_shared<ZACompressionPool::Job>(path, level);
      source = EntrySource::fromFile(path, entryTime(zipInfo), precompression_, job);
      zip_uint64_t index = 0;
      if (!addEntry(handle_, name, source, zipInfo, compressionLevel, password, aes, &index)) return false;
      precompression_->entries.push_back({index, std::move(job)});
      return true;
    }
    source = EntrySource::fromFile(path, entryTime(zipInfo));
  } else {
    return false;
  }
  return addEntry(handle_, name, source, zipInfo, compressionLevel, password, aes);
}

bool ZAZipArchive::writeFileAtPath(const std::string& path, const std::string& fileName,
                                   const std::string& password) {
  return writeFileAtPath(path, fileName, -1, password, true);
}

bool ZAZipArchive::writeFile(const std::string& path, const std::string& password) {
  return writeFileAtPath(path, "", -1, password, true);
}

bool ZAZipArchive::writeData(const platform::Data& data, const std::string& filename, int compressionLevel,
                             const std::string& password, bool aes) {
  if (!handle_ || filename.empty()) return false;
  zip_fileinfo zipInfo;
  zipInfoSetDate(zipInfo, platform::Date::now());
  zipInfo.externalAttributes = static_cast<std::uint32_t>(S_IFREG | 0644) << 16;
  return addEntry(handle_, filename, EntrySource::fromBytes(data.data(), data.size(), entryTime(zipInfo)),
                  zipInfo, compressionLevel, password, aes);
}

bool ZAZipArchive::writeData(const platform::Data& data, const std::string& filename,
                             const std::string& password) {
  return writeData(data, filename, -1, password, true);
}

bool ZAZipArchive::writeFolderAtPath(const std::string& path, const std::string& folderName,
                                     const std::string& password) {
  if (!handle_ || folderName.empty()) return false;
  zip_fileinfo zipInfo;
  zipInfoSetAttributesOfItemAtPath(zipInfo, path);
  // A folder entry carries the folder type and the MS-DOS folder attribute.
  std::uint32_t permissions = (zipInfo.externalAttributes >> 16) & 07777;
  if (permissions == 0) permissions = 0755;
  zipInfo.externalAttributes = (static_cast<std::uint32_t>(S_IFDIR | permissions) << 16) | 0x10;
  std::string name = folderName;
  if (name.back() != '/') name += '/';
  return addEntry(handle_, name, EntrySource::fromBytes("", 0, entryTime(zipInfo)), zipInfo, 0, password,
                  false);
}

bool ZAZipArchive::close() {
  if (!handle_) return false;
  const zip_int64_t entries = zip_get_num_entries(handle_, 0);
  if (writeProgressHandler_) {
    zip_register_progress_callback_with_state(handle_, 0.001, forwardProgress, nullptr,
                                              &writeProgressHandler_);
  }
  // Deflate ahead, in the order the library writes the entries (by index).
  auto& ahead = precompression_->entries;
  std::erase_if(ahead, [](const Precompression::Entry& entry) { return entry.job->released; });
  std::stable_sort(ahead.begin(), ahead.end(),
                   [](const auto& a, const auto& b) { return a.index < b.index; });
  if (!ahead.empty()) {
    precompression_->pool = std::make_unique<ZACompressionPool>(
        static_cast<unsigned>(std::min<std::size_t>(precompressThreads(), ahead.size())), kPrecompressWindow);
    for (const auto& entry : ahead) precompression_->pool->add(entry.job);
  }
  const int result = zip_close(handle_);
  precompression_->pool.reset();
  precompression_->entries.clear();
  if (result != 0) {
    platform::log("[ZAZipArchive] Failed to write {}: {}", path_, zip_strerror(handle_));
    // Nothing of the failed archive stays: the library wrote it aside and drops that now.
    zip_discard(handle_);
  }
  handle_ = nullptr;
  if (result != 0) return false;
  if (entries == 0) {
    // The library writes no file for an archive without entries; an empty archive is its end record alone.
    static const char kEmptyArchive[22] = {'P', 'K', 5, 6};
    return platform::files::writeAtomically(path_, std::string_view(kEmptyArchive, sizeof kEmptyArchive));
  }
  return true;
}

void ZAZipArchive::setWriteProgressHandler(std::function<void(double)> handler) {
  writeProgressHandler_ = std::move(handler);
}

// ---------------------------------------------------------------------------------------------
// Helpers

platform::Date ZAZipArchive::_dateWithMSDOSFormat(std::uint32_t d) {
  std::tm parts{};
  parts.tm_year = static_cast<int>((d >> 25) + 1980 - 1900);
  parts.tm_mon = static_cast<int>((d >> 21) & 15) - 1;
  parts.tm_mday = static_cast<int>((d >> 16) & 31);
  parts.tm_hour = static_cast<int>((d >> 11) & 31);
  parts.tm_min = static_cast<int>((d >> 5) & 63);
  parts.tm_sec = static_cast<int>((d & 31) * 2);
  parts.tm_isdst = -1;
  return platform::Date::fromTimeIntervalSince1970(static_cast<double>(std::mktime(&parts)));
}

std::uint32_t ZAZipArchive::dosDateWithDate(const platform::Date& date) {
  auto seconds = static_cast<std::time_t>(std::floor(date.timeIntervalSince1970()));
  std::tm parts{};
  if (!::localtime_r(&seconds, &parts)) return (1u << 21) | (1u << 16);
  int year = parts.tm_year + 1900;
  if (year < 1980) return (1u << 21) | (1u << 16);  // 1980-01-01 00:00:00
  if (year > 2107) return (127u << 25) | (12u << 21) | (31u << 16) | (23u << 11) | (59u << 5) | 29u;
  return (static_cast<std::uint32_t>(year - 1980) << 25) |
         (static_cast<std::uint32_t>(parts.tm_mon + 1) << 21) |
         (static_cast<std::uint32_t>(parts.tm_mday) << 16) |
         (static_cast<std::uint32_t>(parts.tm_hour) << 11) | (static_cast<std::uint32_t>(parts.tm_min) << 5) |
         static_cast<std::uint32_t>(parts.tm_sec / 2);
}

void ZAZipArchive::zipInfoSetDate(zip_fileinfo& zipInfo, const platform::Date& date) {
  zipInfo.dosDate = dosDateWithDate(date);
}

void ZAZipArchive::zipInfoSetAttributesOfItemAtPath(zip_fileinfo& zipInfo, const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) return;
  zipInfoSetDate(zipInfo,
                 platform::Date::fromTimeIntervalSince1970(static_cast<double>(info.st_mtim.tv_sec)));
  std::uint32_t type = S_ISLNK(info.st_mode) ? S_IFLNK : S_IFREG;
  zipInfo.externalAttributes = (type | (info.st_mode & 07777)) << 16;
}

std::string ZAZipArchive::_filenameStringWithCString(const char* bytes, std::size_t size) {
  const auto* s = reinterpret_cast<const unsigned char*>(bytes);
  const std::size_t length = std::find(s, s + size, 0) - s;
  if (isValidUTF8(s, length)) return std::string(bytes, length);
  if (auto decoded = decodeLegacyName(s, length)) return *decoded;
  return _hexString(platform::Data(s, s + size));
}

std::string ZAZipArchive::_hexString(const platform::Data& data) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(data.size() * 2);
  for (std::uint8_t byte : data) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 15];
  }
  return text;
}

std::string ZAZipArchive::_base64RFC4648(const platform::Data& data) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::string text;
  text.reserve((data.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= data.size(); i += 3) {
    std::uint32_t v = (data[i] << 16) | (data[i + 1] << 8) | data[i + 2];
    text += kAlphabet[(v >> 18) & 63];
    text += kAlphabet[(v >> 12) & 63];
    text += kAlphabet[(v >> 6) & 63];
    text += kAlphabet[v & 63];
  }
  if (data.size() - i == 1) {
    std::uint32_t v = data[i] << 16;
    text += kAlphabet[(v >> 18) & 63];
    text += kAlphabet[(v >> 12) & 63];
    text += "==";
  } else if (data.size() - i == 2) {
    std::uint32_t v = (data[i] << 16) | (data[i + 1] << 8);
    text += kAlphabet[(v >> 18) & 63];
    text += kAlphabet[(v >> 12) & 63];
    text += kAlphabet[(v >> 6) & 63];
    text += '=';
  }
  return text;
}
