#include "httpserver/WebServerMIMEStreamParser.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "httpserver/WebServerFunctions.h"
#include "platform/Paths.h"
#include "platform/UUID.h"

namespace {

constexpr std::string_view kLineEnd = "\r\n";
constexpr std::string_view kHeaderEnd = "\r\n\r\n";
constexpr std::size_t kMaximumBoundaryLength = 70;
constexpr std::size_t kInitialBufferRoom = 256 * 1024;

// The position of `needle` in `haystack` at or after `from`; npos when it is not there.
std::size_t find(const platform::Data& haystack, std::string_view needle, std::size_t from = 0) {
  if (from >= haystack.size() || needle.size() > haystack.size() - from) return std::string_view::npos;
  const void* found = ::memmem(haystack.data() + from, haystack.size() - from, needle.data(), needle.size());
  if (!found) return std::string_view::npos;
  return static_cast<std::size_t>(static_cast<const std::uint8_t*>(found) - haystack.data());
}

std::string trimmed(std::string_view text) {
  auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return std::string();
  auto last = text.find_last_not_of(" \t");
  return std::string(text.substr(first, last - first + 1));
}

bool mimeEqualsIgnoringCase(std::string_view a, std::string_view b) {
  WebServerCaseInsensitiveLess less;
  return !less(a, b) && !less(b, a);
}

std::string baseOf(const std::optional<std::string>& value) {
  return trimmed(WebServerHeaderValueBase(value).value_or(std::string()));
}

}  // namespace

std::unique_ptr<WebServerMIMEStreamParser> WebServerMIMEStreamParser::make(
    const std::optional<std::string>& boundary, std::optional<std::string> defaultControlName,
    Arguments* arguments, Files* files, const Limits& limits, int depth) {
  if (!boundary || boundary->empty() || boundary->size() > kMaximumBoundaryLength || !arguments || !files) {
    return nullptr;
  }
  for (char c : *boundary) {
    if (static_cast<unsigned char>(c) >= 0x80 || c == '\0' || c == '\r' || c == '\n') return nullptr;
  }
  platform::Data bytes = platform::dataFromString(fmt::format("--{}", *boundary));
  return std::unique_ptr<WebServerMIMEStreamParser>(new WebServerMIMEStreamParser(
      std::move(bytes), std::move(defaultControlName), arguments, files, limits, depth));
}

WebServerMIMEStreamParser::WebServerMIMEStreamParser(platform::Data boundary,
                                                     std::optional<std::string> defaultControlName,
                                                     Arguments* arguments, Files* files, const Limits& limits,
                                                     int depth)
    : boundary_(std::move(boundary)),
      defaultControlName_(std::move(defaultControlName)),
      arguments_(arguments),
      files_(files),
      limits_(limits),
      depth_(depth) {
  buffer_.reserve(depth == 0 ? kInitialBufferRoom : 4 * boundary_.size() + 4096);
}

WebServerMIMEStreamParser::~WebServerMIMEStreamParser() { abandonPart(); }

bool WebServerMIMEStreamParser::appendBytes(const std::uint8_t* bytes, std::size_t length) {
  if (failed_) return false;
  // What follows the closing boundary (the epilogue) is never read.
  if (state_ == State::End) return true;
  if (length > 0) buffer_.insert(buffer_.end(), bytes, bytes + length);
  if (!parse()) {
    failed_ = true;
    abandonPart();
    return false;
  }
  return true;
}

void WebServerMIMEStreamParser::consume(std::size_t length) {
  length = std::min(length, buffer_.size());
  buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(length));
  scanned_ = scanned_ > length ? scanned_ - length : 0;
}

void WebServerMIMEStreamParser::clearPart() {
  controlName_.reset();
  fileName_.reset();
  contentType_.reset();
  temporaryPath_.clear();
  subParser_.reset();
}

void WebServerMIMEStreamParser::abandonPart() {
  if (temporaryFile_ >= 0) {
    ::close(temporaryFile_);
    temporaryFile_ = -1;
  }
  if (!temporaryPath_.empty()) {
    ::unlink(temporaryPath_.c_str());
    temporaryPath_.clear();
  }
  subParser_.reset();
}

bool WebServerMIMEStreamParser::parse() {
  bool result = true;
  const std::string_view boundary(reinterpret_cast<const char*>(boundary_.data()), boundary_.size());
  while (true) {
    if (state_ == State::Headers) {
      std::size_t headerEnd = find(buffer_, kHeaderEnd);
      if (headerEnd == std::string_view::npos) {
        if (buffer_.size() > limits_.maximumHeaderSize) {
          WebServerLog(kWebServerLoggingLevel_Error, "Part headers in 'multipart/form-data' are too large");
          return false;
        }
        return result;
      }
      if (headerEnd > limits_.maximumHeaderSize) {
        WebServerLog(kWebServerLoggingLevel_Error, "Part headers in 'multipart/form-data' are too large");
        return false;
      }
      if (!readHeaders(headerEnd)) result = false;
      consume(headerEnd + kHeaderEnd.size());
      state_ = State::Content;
      if (!result) return false;
    }
    if (state_ != State::Start && state_ != State::Content) return result;

    std::size_t position = find(buffer_, boundary, scanned_);
    if (position == std::string_view::npos) {
      scanned_ = buffer_.size() >= boundary_.size() ? buffer_.size() - boundary_.size() + 1 : 0;
      // Keep enough bytes to find a boundary that is split between two pieces.
      const std::size_t margin = 2 * boundary_.size();
      if (buffer_.size() > margin) {
        const std::size_t excess = buffer_.size() - margin;
        if (state_ == State::Content && subParser_) {
          if (!subParser_->appendBytes(buffer_.data(), excess)) return false;
          consume(excess);
        } else if (state_ == State::Content && temporaryFile_ >= 0) {
          if (!writeToFile(buffer_.data(), excess)) return false;
          consume(excess);
        } else if (buffer_.size() > limits_.maximumInMemoryPartSize + margin) {
          // A field kept in memory, or the preamble, waits in the buffer for its boundary.
          WebServerLog(kWebServerLoggingLevel_Error, "Part in 'multipart/form-data' is larger than {} bytes",
                       limits_.maximumInMemoryPartSize);
          return false;
        }
      }
      return result;
    }

    // What follows the boundary tells a new part (a line end, after optional padding) from the end
    // ("--").
    std::size_t after = position + boundary_.size();
    std::size_t cursor = after;
    while (cursor < buffer_.size() && (buffer_[cursor] == ' ' || buffer_[cursor] == '\t')) ++cursor;
    if (cursor - after > 64) {
      WebServerLog(kWebServerLoggingLevel_Error, "Invalid boundary line in 'multipart/form-data'");
      return false;
    }
    if (cursor + 2 > buffer_.size()) {
      scanned_ = position;
      return result;  // more bytes are needed
    }
    bool closing = buffer_[after] == '-' && buffer_[after + 1] == '-';
    bool nextPart = !closing && buffer_[cursor] == '\r' && buffer_[cursor + 1] == '\n';
    if (!closing && !nextPart) {
      WebServerLog(kWebServerLoggingLevel_Error, "Invalid boundary line in 'multipart/form-data'");
      return false;
    }

    if (state_ == State::Content) {
      // The line end before the boundary belongs to the delimiter.
      std::size_t contentLength = position >= 2 ? position - 2 : 0;
      if (!finishPart(contentLength, position)) result = false;
      if (!result) return false;
    }
    // In the preamble nothing is kept.

    if (closing) {
      state_ = State::End;
      platform::Data().swap(buffer_);
      scanned_ = 0;
      return result;
    }
    consume(cursor + kLineEnd.size());
    scanned_ = 0;
    state_ = State::Headers;
  }
}

bool WebServerMIMEStreamParser::readHeaders(std::size_t headerEnd) {
  clearPart();
  std::string_view block(reinterpret_cast<const char*>(buffer_.data()), headerEnd);
  if (!WebServerIsValidUTF8(block)) {
    WebServerLog(kWebServerLoggingLevel_Error, "Failed decoding headers in part of 'multipart/form-data'");
  } else {
    std::size_t start = 0;
    while (start <= block.size()) {
      std::size_t end = block.find(kLineEnd, start);
      if (end == std::string_view::npos) end = block.size();
      std::string_view line = block.substr(start, end - start);
      start = end + kLineEnd.size();
      std::size_t colon = line.find(':');
      if (colon == std::string_view::npos) continue;
      std::string_view name = line.substr(0, colon);
      std::string value = trimmed(line.substr(colon + 1));
      if (mimeEqualsIgnoringCase(name, "Content-Type")) {
        contentType_ = WebServerCanonicalHeaderValue(value);
      } else if (mimeEqualsIgnoringCase(name, "Content-Disposition")) {
        auto disposition = WebServerCanonicalHeaderValue(value);
        std::string base = baseOf(disposition);
        if (base == "form-data") {
          controlName_ = WebServerHeaderParameterValue(disposition, "name");
          fileName_ = WebServerHeaderParameterValue(disposition, "filename");
        } else if (base == "file") {
          controlName_ = defaultControlName_;
          fileName_ = WebServerHeaderParameterValue(disposition, "filename");
        }
      }
    }
  }
  if (!contentType_) contentType_ = "text/plain";
  return startPart();
}

bool WebServerMIMEStreamParser::startPart() {
  if (!controlName_) {
    WebServerLog(kWebServerLoggingLevel_Error, "Part in 'multipart/form-data' has no name");
    return false;
  }
  if (arguments_->size() + files_->size() >= limits_.maximumPartCount) {
    WebServerLog(kWebServerLoggingLevel_Error, "Too many parts in 'multipart/form-data'");
    return false;
  }
  if (baseOf(contentType_) == "multipart/mixed") {
    if (depth_ + 1 > limits_.maximumNestingDepth) {
      WebServerLog(kWebServerLoggingLevel_Error, "Parts in 'multipart/form-data' are nested too deeply");
      return false;
    }
    subParser_ = make(WebServerHeaderParameterValue(contentType_, "boundary"), controlName_, arguments_,
                      files_, limits_, depth_ + 1);
    if (!subParser_) {
      WebServerLog(kWebServerLoggingLevel_Error, "Invalid boundary of 'multipart/mixed' part");
      return false;
    }
    return true;
  }
  if (fileName_) {
    // A new file of our own: an existing file (or a link planted under the name) is never opened,
    // and nobody but the owner can read the upload.
    std::filesystem::path path = platform::paths::temporaryDirectory() / platform::makeUUIDString();
    int file = ::open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (file < 0) {
      WebServerLog(kWebServerLoggingLevel_Error, "Failed creating temporary file \"{}\" ({})", path.string(),
                   std::strerror(errno));
      return false;
    }
    temporaryFile_ = file;
    temporaryPath_ = std::move(path);
  }
  return true;
}

bool WebServerMIMEStreamParser::writeToFile(const std::uint8_t* bytes, std::size_t length) {
  while (length > 0) {
    ssize_t written = ::write(temporaryFile_, bytes, length);
    if (written < 0) {
      if (errno == EINTR) continue;
      WebServerLog(kWebServerLoggingLevel_Error, "Failed writing temporary file \"{}\" ({})",
                   temporaryPath_.string(), std::strerror(errno));
      return false;
    }
    bytes += written;
    length -= static_cast<std::size_t>(written);
  }
  return true;
}

bool WebServerMIMEStreamParser::finishPart(std::size_t contentLength, std::size_t boundaryPosition) {
  if (subParser_) {
    // The nested body with the line end that ends it, so that it can see its own closing boundary.
    bool ok = subParser_->appendBytes(buffer_.data(), boundaryPosition) && subParser_->isAtEnd();
    subParser_.reset();
    if (!ok) WebServerLog(kWebServerLoggingLevel_Error, "Failed parsing 'multipart/mixed' part");
    return ok;
  }
  if (temporaryFile_ >= 0) {
    bool ok = writeToFile(buffer_.data(), contentLength);
    int closed = ::close(temporaryFile_);
    temporaryFile_ = -1;
    if (!ok || closed != 0) {
      ::unlink(temporaryPath_.c_str());
      temporaryPath_.clear();
      return false;
    }
    files_->push_back(std::make_shared<WebServerMultiPartFile>(
        *controlName_, *contentType_, fileName_.value_or(std::string()), temporaryPath_));
    temporaryPath_.clear();
    return true;
  }
  if (contentLength > limits_.maximumInMemoryPartSize) {
    WebServerLog(kWebServerLoggingLevel_Error, "Part in 'multipart/form-data' is larger than {} bytes",
                 limits_.maximumInMemoryPartSize);
    return false;
  }
  arguments_->push_back(std::make_shared<WebServerMultiPartArgument>(
      *controlName_, *contentType_,
      platform::Data(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(contentLength))));
  return true;
}
