#include "ziparchive/ZAExtractionFolder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;
using platform::Error;

constexpr const char* kErrorDomain = "ZAZipArchiveErrorDomain";
constexpr std::int64_t kSymbolicLinkInPath = -8;

void closeQuietly(int fd) {
  if (fd >= 0) ::close(fd);
}

timespec timesFor(std::time_t date) { return timespec{date, 0}; }

}  // namespace

ZAExtractionFolder::ZAExtractionFolder(std::string path) : path_(std::move(path)) {
  while (path_.size() > 1 && path_.back() == '/') path_.pop_back();
}

ZAExtractionFolder::~ZAExtractionFolder() {
  forgetCache();
  closeQuietly(rootFd_);
}

std::string ZAExtractionFolder::pathOf(const Components& components) const {
  std::string path = path_;
  for (const auto& component : components) {
    if (path.empty() || path.back() != '/') path += '/';
    path += component;
  }
  return path;
}

std::optional<ZAExtractionFolder::Components> ZAExtractionFolder::componentsOfEntryName(
    std::string_view name) {
  if (name.find('\0') != std::string_view::npos || name.empty() || name.front() == '/') return std::nullopt;
  Components components;
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t end = name.find('/', start);
    if (end == std::string_view::npos) end = name.size();
    std::string_view part = name.substr(start, end - start);
    if (part == "..") return std::nullopt;
    if (!part.empty() && part != ".") components.emplace_back(part);
    start = end + 1;
  }
  return components;
}

bool ZAExtractionFolder::isContainedLinkTarget(const Components& linkComponents, std::string_view target) {
  if (target.find('\0') != std::string_view::npos) return false;
  if (!target.empty() && target.front() == '/') return false;
  // Climbing is allowed only through the link's own folders, which are real folders (links are
  // never walked through), so it cannot pass the destination. A ".." after a descent could climb
  // out of a linked folder and is refused.
  std::size_t climbs = 0;
  bool descended = false;
  std::size_t start = 0;
  while (start <= target.size()) {
    std::size_t end = target.find('/', start);
    if (end == std::string_view::npos) end = target.size();
    std::string_view part = target.substr(start, end - start);
    if (part == "..") {
      if (descended) return false;
      ++climbs;
    } else if (!part.empty() && part != ".") {
      descended = true;
    }
    start = end + 1;
  }
  const std::size_t depth = linkComponents.empty() ? 0 : linkComponents.size() - 1;
  return climbs <= depth;
}

void ZAExtractionFolder::forgetCache() {
  closeQuietly(cachedFd_);
  cachedFd_ = -1;
  cachedComponents_.clear();
}

int ZAExtractionFolder::openRoot(bool create, Error* error) {
  if (rootFd_ >= 0) return rootFd_;
  int fd = ::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT && create) {
    std::error_code ec;
    fs::create_directories(path_, ec);
    if (ec) {
      platform::fail(error, Error::fromErrno(ec.value(), "Could not create folder " + path_));
      return -1;
    }
    fd = ::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  }
  if (fd < 0) {
    platform::fail(error, Error::fromErrno(errno, "Could not open folder " + path_));
    return -1;
  }
  rootFd_ = fd;
  return rootFd_;
}

int ZAExtractionFolder::openFolder(const Components& components, std::size_t count, bool create,
                                   const std::optional<std::time_t>& date, Error* error) {
  if (count > components.size()) count = components.size();
  int root = openRoot(create, error);
  if (root < 0 || count == 0) return root;
  if (cachedFd_ >= 0 && cachedComponents_.size() == count &&
      std::equal(cachedComponents_.begin(), cachedComponents_.end(), components.begin())) {
    return cachedFd_;
  }
  int current = root;
  for (std::size_t i = 0; i < count; ++i) {
    const std::string& name = components[i];
    bool created = false;
    int next = ::openat(current, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0 && errno == ENOENT && create) {
      if (::mkdirat(current, name.c_str(), 0777) == 0) {
        created = true;
      } else if (errno != EEXIST) {
        int saved = errno;
        if (current != root) ::close(current);
        Components prefix(components.begin(), components.begin() + static_cast<std::ptrdiff_t>(i) + 1);
        platform::fail(error, Error::fromErrno(saved, "Could not create folder " + pathOf(prefix)));
        return -1;
      }
      next = ::openat(current, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    }
    if (next < 0) {
      int saved = errno;
      struct stat info {};
      bool isLink =
          ::fstatat(current, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode);
      if (current != root) ::close(current);
      Components prefix(components.begin(), components.begin() + static_cast<std::ptrdiff_t>(i) + 1);
      if (isLink) {
        platform::fail(
            error, Error::make(kErrorDomain, kSymbolicLinkInPath,
                               "refused to write through the symbolic link at \"" + pathOf(prefix) + "\""));
      } else {
        platform::fail(error, Error::fromErrno(saved, "Could not open folder " + pathOf(prefix)));
      }
      return -1;
    }
    if (created && date) {
      timespec times[2] = {timesFor(*date), timesFor(*date)};
      ::futimens(next, times);
    }
    if (current != root) ::close(current);
    current = next;
  }
  forgetCache();
  cachedComponents_.assign(components.begin(), components.begin() + static_cast<std::ptrdiff_t>(count));
  cachedFd_ = current;
  return current;
}

bool ZAExtractionFolder::createFolders(const Components& components, std::size_t count,
                                       const std::optional<std::time_t>& date, Error* error) {
  return openFolder(components, count, true, date, error) >= 0;
}

bool ZAExtractionFolder::exists(const Components& components) {
  if (components.empty()) return openRoot(false, nullptr) >= 0;
  int parent = openFolder(components, components.size() - 1, false, std::nullopt, nullptr);
  struct stat info {};
  return parent >= 0 && ::fstatat(parent, components.back().c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
}

bool ZAExtractionFolder::isFolder(const Components& components) {
  if (components.empty()) return openRoot(false, nullptr) >= 0;
  int parent = openFolder(components, components.size() - 1, false, std::nullopt, nullptr);
  struct stat info {};
  return parent >= 0 && ::fstatat(parent, components.back().c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
         S_ISDIR(info.st_mode);
}

bool ZAExtractionFolder::removeItem(const Components& components, Error* error) {
  if (components.empty()) return platform::fail(error, Error::fromErrno(EINVAL, "Will not remove " + path_));
  // The parents are real folders (checked here), so the path below cannot lead elsewhere; the
  // removal itself does not follow links.
  if (openFolder(components, components.size() - 1, false, std::nullopt, error) < 0) return false;
  forgetCache();
  std::error_code ec;
  fs::remove_all(pathOf(components), ec);
  if (ec)
    return platform::fail(error, Error::fromErrno(ec.value(), "Could not remove " + pathOf(components)));
  return true;
}

std::unique_ptr<ZAExtractionFolder::PendingFile> ZAExtractionFolder::beginFile(const Components& components,
                                                                               Error* error) {
  if (components.empty()) {
    platform::fail(error, Error::fromErrno(EISDIR, "Could not create file " + path_));
    return nullptr;
  }
  int parent = openFolder(components, components.size() - 1, false, std::nullopt, error);
  if (parent < 0) return nullptr;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string temporary =
        ".za-" + std::to_string(::getpid()) + "-" + std::to_string(++temporaryCounter_) + ".part";
    int fd = ::openat(parent, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) {
      int parentCopy = ::fcntl(parent, F_DUPFD_CLOEXEC, 0);
      if (parentCopy < 0) {
        int saved = errno;
        ::unlinkat(parent, temporary.c_str(), 0);
        ::close(fd);
        platform::fail(error, Error::fromErrno(saved, "Could not create file " + pathOf(components)));
        return nullptr;
      }
      return std::unique_ptr<PendingFile>(
          new PendingFile(parentCopy, std::move(temporary), components.back(), fd));
    }
    if (errno != EEXIST) {
      int saved = errno;
      // Running out of space is told by its code alone.
      platform::fail(error, saved == ENOSPC
                                ? Error::make(platform::kPOSIXErrorDomain, ENOSPC, "")
                                : Error::fromErrno(saved, "Could not create file " + pathOf(components)));
      return nullptr;
    }
  }
  platform::fail(error, Error::fromErrno(EEXIST, "Could not create file " + pathOf(components)));
  return nullptr;
}

ZAExtractionFolder::PendingFile::PendingFile(int parentFd, std::string temporaryName, std::string finalName,
                                             int fd)
    : parentFd_(parentFd),
      temporaryName_(std::move(temporaryName)),
      finalName_(std::move(finalName)),
      fd_(fd) {}

ZAExtractionFolder::PendingFile::~PendingFile() {
  abandon();
  closeQuietly(parentFd_);
}

void ZAExtractionFolder::PendingFile::abandon() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
    ::unlinkat(parentFd_, temporaryName_.c_str(), 0);
  }
}

bool ZAExtractionFolder::PendingFile::write(const void* bytes, std::size_t size, Error* error) {
  const char* p = static_cast<const char*>(bytes);
  while (size > 0) {
    ssize_t written = ::write(fd_, p, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return platform::fail(error, Error::fromErrno(errno, "Could not write " + finalName_));
    }
    p += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

bool ZAExtractionFolder::PendingFile::setPermissions(unsigned mode) { return ::fchmod(fd_, mode) == 0; }

bool ZAExtractionFolder::PendingFile::setModificationDate(std::time_t date) {
  timespec times[2] = {timespec{0, UTIME_OMIT}, timesFor(date)};
  return ::futimens(fd_, times) == 0;
}

bool ZAExtractionFolder::PendingFile::commit(Error* error) {
  int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) {
    int saved = errno;
    ::unlinkat(parentFd_, temporaryName_.c_str(), 0);
    return platform::fail(error, Error::fromErrno(saved, "Could not write " + finalName_));
  }
  if (::renameat(parentFd_, temporaryName_.c_str(), parentFd_, finalName_.c_str()) != 0) {
    int saved = errno;
    ::unlinkat(parentFd_, temporaryName_.c_str(), 0);
    return platform::fail(error, Error::fromErrno(saved, "Could not create file " + finalName_));
  }
  return true;
}

bool ZAExtractionFolder::createSymbolicLink(const Components& components, const std::string& target,
                                            Error* error) {
  if (components.empty()) return platform::fail(error, Error::fromErrno(EEXIST, "Could not create link"));
  int parent = openFolder(components, components.size() - 1, false, std::nullopt, error);
  if (parent < 0) return false;
  if (::symlinkat(target.c_str(), parent, components.back().c_str()) != 0) {
    return platform::fail(error, Error::fromErrno(errno, "Could not create link " + pathOf(components)));
  }
  return true;
}

bool ZAExtractionFolder::setModificationDate(const Components& components, std::time_t date, Error* error) {
  timespec times[2] = {timespec{0, UTIME_OMIT}, timesFor(date)};
  if (components.empty()) {
    int root = openRoot(false, error);
    if (root < 0) return false;
    if (::futimens(root, times) != 0)
      return platform::fail(error, Error::fromErrno(errno, "Could not date " + path_));
    return true;
  }
  int parent = openFolder(components, components.size() - 1, false, std::nullopt, error);
  if (parent < 0) return false;
  if (::utimensat(parent, components.back().c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
    return platform::fail(error, Error::fromErrno(errno, "Could not date " + pathOf(components)));
  }
  return true;
}
