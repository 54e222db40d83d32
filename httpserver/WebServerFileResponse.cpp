#include "httpserver/WebServerFileResponse.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/Escaping.h"

namespace {

platform::Error fileResponsePosixError(int code) {
  return platform::Error::make(platform::kPOSIXErrorDomain, code, std::strerror(code));
}

// The name as ISO Latin-1 bytes; characters outside Latin-1 become "?".
std::string latin1Name(std::string_view utf8) {
  std::string out;
  const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
  const auto* end = p + utf8.size();
  while (p < end) {
    unsigned char c = *p;
    int extra = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : 3;
    std::uint32_t code = extra == 0 ? c : extra == 1 ? (c & 0x1Fu) : extra == 2 ? (c & 0x0Fu) : (c & 0x07u);
    for (int i = 1; i <= extra && p + i < end; ++i) code = (code << 6) | (p[i] & 0x3Fu);
    p += extra + 1;
    out.push_back(code < 0x100 ? static_cast<char>(code) : '?');
  }
  return out;
}

}  // namespace

std::shared_ptr<WebServerFileResponse> WebServerFileResponse::responseWithFile(
    const std::filesystem::path& path) {
  return responseWithFile(path, kWebServerNoByteRange, false, nullptr);
}

std::shared_ptr<WebServerFileResponse> WebServerFileResponse::responseWithFile(
    const std::filesystem::path& path, bool isAttachment) {
  return responseWithFile(path, kWebServerNoByteRange, isAttachment, nullptr);
}

std::shared_ptr<WebServerFileResponse> WebServerFileResponse::responseWithFile(
    const std::filesystem::path& path, WebServerByteRange byteRange) {
  return responseWithFile(path, byteRange, false, nullptr);
}

std::shared_ptr<WebServerFileResponse> WebServerFileResponse::responseWithFile(
    const std::filesystem::path& path, WebServerByteRange byteRange, bool isAttachment) {
  return responseWithFile(path, byteRange, isAttachment, nullptr);
}

std::shared_ptr<WebServerFileResponse> WebServerFileResponse::responseWithFile(
    const std::filesystem::path& path, WebServerByteRange byteRange, bool isAttachment,
    const WebServerMIMETypeOverrides* mimeTypeOverrides) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return nullptr;
  return responseWithStatus(path, info, byteRange, isAttachment, mimeTypeOverrides);
}

std::shared_ptr<WebServerFileResponse> WebServerFileResponse::responseWithOpenFile(
    int descriptor, const std::filesystem::path& path, WebServerByteRange byteRange, bool isAttachment,
    const WebServerMIMETypeOverrides* mimeTypeOverrides) {
  if (descriptor < 0) return nullptr;
  struct stat info {};
  if (::fstat(descriptor, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(descriptor);
    return nullptr;
  }
  auto response = responseWithStatus(path, info, byteRange, isAttachment, mimeTypeOverrides);
  if (response->hasBody()) {
    response->file_ = descriptor;
    response->preopened_ = true;
  } else {
    ::close(descriptor);  // a 416 answer reads nothing
  }
  return response;
}

std::shared_ptr<WebServerFileResponse> WebServerFileResponse::responseWithStatus(
    const std::filesystem::path& path, const struct stat& info, WebServerByteRange byteRange,
    bool isAttachment, const WebServerMIMETypeOverrides* mimeTypeOverrides) {
  const auto fileSize = static_cast<std::uint64_t>(info.st_size);

  auto response = std::make_shared<WebServerFileResponse>();
  response->path_ = path;
  bool hasRange = byteRange.location != kWebServerNotFound || byteRange.length > 0;
  if (hasRange) {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    if (byteRange.location != kWebServerNotFound) {
      offset = std::min(byteRange.location, fileSize);
      size = std::min(byteRange.length, fileSize - offset);
    } else {
      size = std::min(byteRange.length, fileSize);
      offset = fileSize - size;
    }
    if (size == 0) {
      // Nothing of the file is in the range: the client learns the file's size instead.
      response->setStatusCode(416);
      response->setValue(fmt::format("bytes */{}", fileSize), "Content-Range");
      return response;
    }
    response->offset_ = offset;
    response->size_ = size;
    response->setStatusCode(206);
    response->setValue(fmt::format("bytes {}-{}/{}", offset, offset + size - 1, fileSize), "Content-Range");
  } else {
    response->offset_ = 0;
    response->size_ = fileSize;
  }

  if (isAttachment) {
    std::string lastComponent = path.filename().string();
    std::string plain;
    for (char c : lastComponent) {
      // Quotes would end the parameter and control characters would break the header.
      if (c != '"' && c != '\\' && static_cast<unsigned char>(c) >= 0x20 && c != 0x7F) plain.push_back(c);
    }
    if (WebServerIsValidUTF8(lastComponent)) {
      response->setValue(fmt::format("attachment; filename=\"{}\"; filename*=UTF-8''{}", latin1Name(plain),
                                     platform::percentEscaped(lastComponent)),
                         "Content-Disposition");
    }
  }

  std::string extension = path.extension().string();
  if (!extension.empty()) extension.erase(0, 1);
  response->setContentType(WebServerMIMETypeForExtension(extension, mimeTypeOverrides));
  response->setContentLength(response->size_);
  double modified =
      static_cast<double>(info.st_mtim.tv_sec) + static_cast<double>(info.st_mtim.tv_nsec) / 1e9;
  response->setLastModifiedDate(platform::Date::fromTimeIntervalSince1970(modified));
  response->setETag(fmt::format("{}/{}/{}", static_cast<unsigned long long>(info.st_ino),
                                static_cast<long>(info.st_mtim.tv_sec),
                                static_cast<long>(info.st_mtim.tv_nsec)));
  return response;
}

WebServerFileResponse::~WebServerFileResponse() {
  if (file_ >= 0) ::close(file_);
}

bool WebServerFileResponse::open(platform::Error* error) {
  // Closes the file and fails with the error at hand (EINVAL when the call set none).
  auto closeAndFail = [&] {
    int code = errno ? errno : EINVAL;
    ::close(file_);
    file_ = -1;
    return platform::fail(error, fileResponsePosixError(code));
  };
  if (preopened_) {
    preopened_ = false;
    if (file_ < 0) return platform::fail(error, fileResponsePosixError(EBADF));
  } else {
    // Non-blocking so that a path swapped for a pipe cannot stall the server; checked to be a
    // regular file once open.
    file_ = ::open(path_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (file_ < 0) return platform::fail(error, fileResponsePosixError(errno));
    struct stat info {};
    if (::fstat(file_, &info) != 0 || !S_ISREG(info.st_mode)) return closeAndFail();
  }
  off_t position = ::lseek(file_, static_cast<off_t>(offset_), SEEK_SET);
  if (position < 0 || static_cast<std::uint64_t>(position) != offset_) return closeAndFail();
  return true;
}

std::optional<platform::Data> WebServerFileResponse::readData(platform::Error* error) {
  if (file_ < 0) {
    platform::fail(error, fileResponsePosixError(EBADF));
    return std::nullopt;
  }
  std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(kPieceSize, size_));
  platform::Data data(length);
  ssize_t result;
  do {
    result = ::read(file_, data.data(), length);
  } while (result < 0 && errno == EINTR);
  if (result < 0) {
    platform::fail(error, fileResponsePosixError(errno));
    return std::nullopt;
  }
  data.resize(static_cast<std::size_t>(result));
  size_ -= static_cast<std::uint64_t>(result);
  return data;
}

void WebServerFileResponse::close() {
  if (file_ >= 0) {
    ::close(file_);
    file_ = -1;
  }
}

std::string WebServerFileResponse::description() const {
  return WebServerResponse::description() + fmt::format("\n\n{{{}}}", path_.string());
}
