// The ready-made GET handlers of WebServer: static data, one file, and a folder tree.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string_view>
#include <vector>

#include "httpserver/WebServer.h"
#include "httpserver/WebServerDataResponse.h"
#include "httpserver/WebServerFileResponse.h"
#include "platform/Escaping.h"

namespace {

// A descriptor that closes itself.
class Descriptor {
 public:
  Descriptor() = default;
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() { reset(); }
  Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Descriptor& operator=(Descriptor&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() { return std::exchange(fd_, -1); }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
// Non-blocking so that a path swapped for a pipe cannot stall a server thread.
constexpr int kFileFlags = O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;

// The segments of the part of a request path below the base path, or false when the path must not
// be served: a ".." segment could climb out of the folder, and a NUL or a backslash has no place in
// a name that a browser sends. Empty and "." segments name the folder they are in.
bool pathSegments(std::string_view remainder, std::vector<std::string>* segments) {
  if (remainder.find('\0') != std::string_view::npos || remainder.find('\\') != std::string_view::npos) {
    return false;
  }
  std::size_t start = 0;
  while (start <= remainder.size()) {
    std::size_t end = remainder.find('/', start);
    if (end == std::string_view::npos) end = remainder.size();
    std::string_view segment = remainder.substr(start, end - start);
    if (segment == "..") return false;
    if (!segment.empty() && segment != ".") segments->emplace_back(segment);
    start = end + 1;
  }
  return true;
}

std::shared_ptr<WebServerResponse> notFound() { return WebServerResponse::responseWithStatusCode(404); }

// The listing of an open folder; nullptr when it cannot be read.
std::shared_ptr<WebServerResponse> listingOfDirectory(int directory) {
  int copy = ::fcntl(directory, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return nullptr;
  DIR* stream = ::fdopendir(copy);
  if (!stream) {
    ::close(copy);
    return nullptr;
  }
  struct Entry {
    std::string name;
    bool isDirectory;
  };
  std::vector<Entry> entries;
  while (dirent* item = ::readdir(stream)) {
    std::string name = item->d_name;
    // Hidden items stay hidden; names that are not text cannot be shown on a UTF-8 page.
    if (name.empty() || name.front() == '.' || !WebServerIsValidUTF8(name)) continue;
    struct stat info {};
    if (::fstatat(directory, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISREG(info.st_mode)) {
      entries.push_back({std::move(name), false});
    } else if (S_ISDIR(info.st_mode)) {
      entries.push_back({std::move(name), true});
    }
  }
  ::closedir(stream);
  // Sorted, so that a listing reads the same every time.
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.name < b.name; });

  std::string html = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"></head><body>\n<ul>\n";
  for (const auto& entry : entries) {
    // The link is percent-escaped (it holds no quote or angle bracket then) and the text HTML-escaped.
    std::string link = platform::percentEscaped(entry.name);
    std::string text = platform::escapedHTML(entry.name);
    if (entry.isDirectory) {
      html += fmt::format("<li><a href=\"{}/\">{}/</a></li>\n", link, text);
    } else {
      html += fmt::format("<li><a href=\"{}\">{}</a></li>\n", link, text);
    }
  }
  html += "</ul>\n</body></html>\n";
  return WebServerDataResponse::responseWithHTML(html);
}

// Answers a request below the base path from the folder. The folder itself is opened as named
// (it may be a link, such as a resource folder linked into a build tree); below it every segment is
// opened without following symbolic links, and the file that is answered is the one that was
// checked, read through its descriptor.
std::shared_ptr<WebServerResponse> responseFromDirectory(const std::filesystem::path& directoryPath,
                                                         std::string_view remainder,
                                                         const std::optional<std::string>& indexFilename,
                                                         std::uint32_t cacheAge, bool allowRangeRequests,
                                                         WebServerByteRange byteRange) {
  std::vector<std::string> segments;
  if (!pathSegments(remainder, &segments)) {
    WebServerLog(kWebServerLoggingLevel_Warning, "Refused request path below \"{}\"", directoryPath.string());
    return notFound();
  }
  Descriptor current(::open(directoryPath.c_str(), kDirectoryFlags));
  if (!current.valid()) return notFound();
  std::filesystem::path filePath = directoryPath;
  for (std::size_t i = 0; i + 1 < segments.size(); ++i) {
    Descriptor next(::openat(current.get(), segments[i].c_str(), kDirectoryFlags | O_NOFOLLOW));
    if (!next.valid()) return notFound();
    current = std::move(next);
    filePath /= segments[i];
  }

  struct stat info {};
  Descriptor item;
  if (segments.empty()) {
    if (::fstat(current.get(), &info) != 0) return notFound();
    item = std::move(current);
  } else {
    const std::string& last = segments.back();
    filePath /= last;
    if (::fstatat(current.get(), last.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return notFound();
    if (S_ISDIR(info.st_mode)) {
      item = Descriptor(::openat(current.get(), last.c_str(), kDirectoryFlags | O_NOFOLLOW));
    } else if (S_ISREG(info.st_mode)) {
      item = Descriptor(::openat(current.get(), last.c_str(), kFileFlags));
    } else {
      return notFound();
    }
    if (!item.valid()) return notFound();
  }

  std::shared_ptr<WebServerResponse> response;
  if (S_ISDIR(info.st_mode)) {
    if (indexFilename && !indexFilename->empty() && indexFilename->find('/') == std::string::npos) {
      struct stat indexInfo {};
      if (::fstatat(item.get(), indexFilename->c_str(), &indexInfo, AT_SYMLINK_NOFOLLOW) == 0 &&
          S_ISREG(indexInfo.st_mode)) {
        int file = ::openat(item.get(), indexFilename->c_str(), kFileFlags);
        if (file < 0) return notFound();
        auto index = WebServerFileResponse::responseWithOpenFile(file, filePath / *indexFilename,
                                                                 kWebServerNoByteRange, false);
        if (!index) return notFound();
        return index;
      }
    }
    response = listingOfDirectory(item.get());
  } else if (S_ISREG(info.st_mode)) {
    if (allowRangeRequests) {
      response = WebServerFileResponse::responseWithOpenFile(item.release(), filePath, byteRange, false);
      if (response) response->setValue("bytes", "Accept-Ranges");
    } else {
      response =
          WebServerFileResponse::responseWithOpenFile(item.release(), filePath, kWebServerNoByteRange, false);
    }
  } else {
    return notFound();
  }
  if (!response) return notFound();
  response->setCacheControlMaxAge(cacheAge);
  return response;
}

}  // namespace

void WebServer::addGETHandlerForPath(const std::string& path, platform::Data staticData,
                                     const std::string& contentType, std::uint32_t cacheAge) {
  auto data = std::make_shared<const platform::Data>(std::move(staticData));
  addHandlerForMethod("GET", path, WebServerRequestClassOf<WebServerRequest>(),
                      [data, contentType, cacheAge](
                          const std::shared_ptr<WebServerRequest>&) -> std::shared_ptr<WebServerResponse> {
                        auto response = WebServerDataResponse::responseWithData(*data, contentType);
                        response->setCacheControlMaxAge(cacheAge);
                        return response;
                      });
}

void WebServer::addGETHandlerForPath(const std::string& path, const std::filesystem::path& filePath,
                                     bool isAttachment, std::uint32_t cacheAge, bool allowRangeRequests) {
  addHandlerForMethod(
      "GET", path, WebServerRequestClassOf<WebServerRequest>(),
      [filePath, isAttachment, cacheAge, allowRangeRequests](
          const std::shared_ptr<WebServerRequest>& request) -> std::shared_ptr<WebServerResponse> {
        std::shared_ptr<WebServerFileResponse> response;
        if (allowRangeRequests) {
          response = WebServerFileResponse::responseWithFile(filePath, request->byteRange(), isAttachment);
          if (response) response->setValue("bytes", "Accept-Ranges");
        } else {
          response = WebServerFileResponse::responseWithFile(filePath, isAttachment);
        }
        if (response) response->setCacheControlMaxAge(cacheAge);
        return response;
      });
}

void WebServer::addGETHandlerForBasePath(const std::string& basePath,
                                         const std::filesystem::path& directoryPath,
                                         const std::optional<std::string>& indexFilename,
                                         std::uint32_t cacheAge, bool allowRangeRequests) {
  if (!basePath.starts_with('/') || !basePath.ends_with('/')) return;
  addHandlerWithMatchBlock(
      [basePath](const std::string& method, const std::string& url, const WebServerHeaders& headers,
                 const std::string& path, const WebServerQuery& query) -> std::shared_ptr<WebServerRequest> {
        if (method != "GET" || !path.starts_with(basePath)) return nullptr;
        return WebServerRequest::requestWithMethod(method, url, headers, path, query);
      },
      [basePath, directoryPath, indexFilename, cacheAge, allowRangeRequests](
          const std::shared_ptr<WebServerRequest>& request) -> std::shared_ptr<WebServerResponse> {
        std::string_view remainder = std::string_view(request->path()).substr(basePath.size());
        return responseFromDirectory(directoryPath, remainder, indexFilename, cacheAge, allowRangeRequests,
                                     request->byteRange());
      });
}

std::shared_ptr<WebServerResponse> WebServer::responseWithContentsOfDirectory(
    const std::filesystem::path& directoryPath) {
  Descriptor directory(::open(directoryPath.c_str(), kDirectoryFlags));
  if (!directory.valid()) return nullptr;
  return listingOfDirectory(directory.get());
}
