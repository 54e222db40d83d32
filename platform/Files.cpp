#include "platform/Files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

#include "platform/Log.h"
#include "platform/UUID.h"

namespace platform::files {

namespace fs = std::filesystem;

namespace {

Error errorFromCode(const std::error_code& ec, const std::string& context) {
  return Error::fromErrno(ec.value(), context);
}

bool writeAll(int fd, const char* bytes, std::size_t size) {
  while (size > 0) {
    ssize_t written = ::write(fd, bytes, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

// Flushes the folder entry of a rename so that it survives a power loss.
void syncDirectory(const fs::path& dir) {
  int fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
}

}  // namespace

bool writeAtomically(const fs::path& path, std::string_view bytes, Error* error, unsigned mode) {
  fs::path dir = path.parent_path();
  struct stat existing {};
  if (::stat(path.c_str(), &existing) == 0) mode = existing.st_mode & 07777;
  // The temporary file stays locked from its creation until it has been renamed into place: that is
  // how a clean-up of temporaries left by a killed process (removeAtomicWriteTemporaries, in this
  // process or in a second start of the program) tells a write under way from a dead one. A clean-up
  // can still take the file between its creation and its lock; the write then starts again.
  fs::path temp;
  int fd = -1;
  for (int attempt = 0; fd < 0; ++attempt) {
    temp = dir / ("." + path.filename().string() + "." + makeUUIDString() + ".tmp");
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) return fail(error, Error::fromErrno(errno, "Could not create " + temp.string()));
    struct stat created {};
    while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
    if (::fstat(fd, &created) == 0 && created.st_nlink > 0) break;
    ::close(fd);
    fd = -1;
    if (attempt == 8) return fail(error, Error::fromErrno(EAGAIN, "Could not create " + temp.string()));
  }
  // The process umask must not narrow the mode of an existing file.
  ::fchmod(fd, mode);
  bool ok = writeAll(fd, bytes.data(), bytes.size());
  int saved = errno;
  if (ok && ::fsync(fd) != 0) {
    ok = false;
    saved = errno;
  }
  if (ok && ::rename(temp.c_str(), path.c_str()) != 0) {
    ok = false;
    saved = errno;
  }
  if (!ok) ::unlink(temp.c_str());
  if (::close(fd) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  if (!ok) return fail(error, Error::fromErrno(saved, "Could not write " + path.string()));
  syncDirectory(dir);
  return true;
}

namespace {

constexpr std::string_view kTemporarySuffix = ".tmp";
constexpr std::size_t kUUIDLength = 36;

bool isUpperCaseUUID(std::string_view text) {
  if (text.size() != kUUIDLength) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (c != '-') return false;
    } else if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) {
      return false;
    }
  }
  return true;
}

}  // namespace

bool isAtomicWriteTemporary(std::string_view name) {
  // "." + at least one character + "." + UUID + ".tmp"
  if (name.size() < 1 + 1 + 1 + kUUIDLength + kTemporarySuffix.size() || name.front() != '.' ||
      !name.ends_with(kTemporarySuffix)) {
    return false;
  }
  std::string_view rest = name.substr(0, name.size() - kTemporarySuffix.size());
  std::string_view uuid = rest.substr(rest.size() - kUUIDLength);
  rest.remove_suffix(kUUIDLength);
  return isUpperCaseUUID(uuid) && rest.size() >= 3 && rest.back() == '.';
}

std::size_t removeAtomicWriteTemporaries(const fs::path& folder, std::optional<std::string_view> forName) {
  std::size_t removed = 0;
  std::error_code ec;
  fs::directory_iterator it(folder, ec);
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (!isAtomicWriteTemporary(name)) continue;
    // ".<file>." + UUID + ".tmp": the file's name lies between the first dot and the UUID.
    const std::string_view target =
        std::string_view(name).substr(1, name.size() - 1 - 1 - kUUIDLength - kTemporarySuffix.size());
    if (forName && target != *forName) continue;
    std::error_code typeError;
    if (!it->is_regular_file(typeError) || it->is_symlink(typeError)) continue;
    // A write under way holds its temporary file locked (writeAtomically): that one stays.
    const int fd = ::open(it->path().c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) continue;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      ::close(fd);
      continue;
    }
    if (::unlink(it->path().c_str()) == 0) {
      ++removed;
      log("Removed {}, left by a save that was cut short", it->path().string());
    } else if (errno != ENOENT) {
      log("Could not remove {}: {}", it->path().string(), std::strerror(errno));
    }
    ::close(fd);
  }
  return removed;
}

bool writeAtomically(const fs::path& path, const Data& bytes, Error* error, unsigned mode) {
  return writeAtomically(path, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()),
                         error, mode);
}

namespace {

template <typename Buffer>
std::optional<Buffer> readInto(const fs::path& path, Error* error, std::uint64_t maxSize) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    fail(error, Error::fromErrno(errno, "Could not open " + path.string()));
    return std::nullopt;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
    int saved = S_ISDIR(info.st_mode) ? EISDIR : errno;
    ::close(fd);
    fail(error, Error::fromErrno(saved, "Could not read " + path.string()));
    return std::nullopt;
  }
  Buffer buffer;
  // The stat size is only a hint (files may grow or be special); read until end of file.
  buffer.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(info.st_size, maxSize)));
  char chunk[65536];
  for (;;) {
    ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got < 0) {
      if (errno == EINTR) continue;
      int saved = errno;
      ::close(fd);
      fail(error, Error::fromErrno(saved, "Could not read " + path.string()));
      return std::nullopt;
    }
    if (got == 0) break;
    if (buffer.size() + static_cast<std::uint64_t>(got) > maxSize) {
      ::close(fd);
      fail(error, Error::fromErrno(EFBIG, "File too large: " + path.string()));
      return std::nullopt;
    }
    buffer.insert(buffer.end(), chunk, chunk + got);
  }
  ::close(fd);
  return buffer;
}

}  // namespace

std::optional<Data> readFile(const fs::path& path, Error* error, std::uint64_t maxSize) {
  return readInto<Data>(path, error, maxSize);
}

std::optional<std::string> readTextFile(const fs::path& path, Error* error, std::uint64_t maxSize) {
  return readInto<std::string>(path, error, maxSize);
}

std::optional<Data> readSmallRegularFile(const fs::path& path, std::uint64_t maxSize) {
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) return std::nullopt;
  const auto size = fs::file_size(path, ec);
  if (ec || size > maxSize) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  Data data(static_cast<std::size_t>(size));
  in.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(data.size()));
  data.resize(static_cast<std::size_t>(in.gcount()));
  return data;
}

bool copyItem(const fs::path& from, const fs::path& to, Error* error) {
  std::error_code ec;
  if (fs::symlink_status(to, ec).type() != fs::file_type::not_found) {
    return fail(error, Error::fromErrno(EEXIST, "Could not copy to " + to.string()));
  }
  auto status = fs::symlink_status(from, ec);
  if (ec) return fail(error, errorFromCode(ec, "Could not copy " + from.string()));
  if (fs::is_symlink(status)) {
    fs::copy_symlink(from, to, ec);
  } else if (fs::is_directory(status)) {
    fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
  } else {
    fs::copy_file(from, to, ec);
  }
  if (ec) {
    std::error_code ignored;
    fs::remove_all(to, ignored);
    return fail(error, errorFromCode(ec, "Could not copy " + from.string() + " to " + to.string()));
  }
  return true;
}

bool moveItem(const fs::path& from, const fs::path& to, Error* error) {
  std::error_code ec;
  if (fs::symlink_status(to, ec).type() != fs::file_type::not_found) {
    return fail(error, Error::fromErrno(EEXIST, "Could not move to " + to.string()));
  }
  if (::rename(from.c_str(), to.c_str()) == 0) return true;
  if (errno != EXDEV) return fail(error, Error::fromErrno(errno, "Could not move " + from.string()));
  if (!copyItem(from, to, error)) return false;
  fs::remove_all(from, ec);
  if (ec) return fail(error, errorFromCode(ec, "Could not remove " + from.string() + " after moving it"));
  return true;
}

bool removeItem(const fs::path& path, Error* error) {
  std::error_code ec;
  if (fs::symlink_status(path, ec).type() == fs::file_type::not_found) {
    return fail(error, Error::fromErrno(ENOENT, "Could not remove " + path.string()));
  }
  fs::remove_all(path, ec);
  if (ec) return fail(error, errorFromCode(ec, "Could not remove " + path.string()));
  return true;
}

bool createDirectory(const fs::path& path, Error* error) {
  std::error_code ec;
  fs::create_directories(path, ec);
  if (ec) return fail(error, errorFromCode(ec, "Could not create " + path.string()));
  if (!fs::is_directory(path, ec)) {
    return fail(error, Error::fromErrno(ENOTDIR, "Could not create " + path.string()));
  }
  return true;
}

std::optional<std::vector<std::string>> contentsOfDirectory(const fs::path& path, Error* error) {
  std::error_code ec;
  fs::directory_iterator it(path, ec);
  if (ec) {
    fail(error, errorFromCode(ec, "Could not list " + path.string()));
    return std::nullopt;
  }
  std::vector<std::string> names;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    names.push_back(it->path().filename().string());
  }
  if (ec) {
    fail(error, errorFromCode(ec, "Could not list " + path.string()));
    return std::nullopt;
  }
  std::sort(names.begin(), names.end());
  return names;
}

bool fileExists(const fs::path& path, bool* isDirectory) {
  std::error_code ec;
  auto status = fs::status(path, ec);
  bool exists = !ec && fs::exists(status);
  if (isDirectory) *isDirectory = exists && fs::is_directory(status);
  return exists;
}

}  // namespace platform::files
