#include "httpserver/WebServerFileRequest.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/Paths.h"
#include "platform/UUID.h"

namespace {
platform::Error fileRequestPosixError(int code) {
  return platform::Error::make(platform::kPOSIXErrorDomain, code, std::strerror(code));
}
}  // namespace

bool WebServerFileRequest::initWithMethod(const std::string& method, const std::string& url,
                                          const WebServerHeaders& headers, const std::string& path,
                                          const WebServerQuery& query) {
  if (!WebServerRequest::initWithMethod(method, url, headers, path, query)) return false;
  temporaryPath_ = platform::paths::temporaryDirectory() / platform::makeUUIDString();
  return true;
}

WebServerFileRequest::~WebServerFileRequest() {
  if (file_ >= 0) ::close(file_);
  if (!temporaryPath_.empty()) ::unlink(temporaryPath_.c_str());
}

bool WebServerFileRequest::open(platform::Error* error) {
  // Readable by the owner only: bodies may hold anything the client uploads.
  file_ = ::open(temporaryPath_.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (file_ < 0) return platform::fail(error, fileRequestPosixError(errno));
  written_ = 0;
  return true;
}

bool WebServerFileRequest::writeData(std::span<const std::uint8_t> data, platform::Error* error) {
  if (file_ < 0) return platform::fail(error, fileRequestPosixError(EBADF));
  if (written_ + data.size() > maximumBodySize()) {
    return platform::fail(error, platform::Error::make(kWebServerErrorDomain, kWebServerErrorBodyTooLarge,
                                                       "The body is larger than allowed"));
  }
  const std::uint8_t* p = data.data();
  std::size_t left = data.size();
  while (left > 0) {
    ssize_t n = ::write(file_, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return platform::fail(error, fileRequestPosixError(errno));
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  written_ += data.size();
  return true;
}

bool WebServerFileRequest::close(platform::Error* error) {
  if (file_ < 0) return platform::fail(error, fileRequestPosixError(EBADF));
  int result = ::close(file_);
  file_ = -1;
  if (result != 0) return platform::fail(error, fileRequestPosixError(errno));
  return true;
}

std::string WebServerFileRequest::description() const {
  return WebServerRequest::description() + fmt::format("\n\n{{{}}}", temporaryPath_.string());
}
