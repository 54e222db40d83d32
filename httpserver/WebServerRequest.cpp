#include "httpserver/WebServerRequest.h"

#include "httpserver/WebServerGZipDecoder.h"

namespace {

std::string_view trimmedSpaces(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

}  // namespace

WebServerByteRange WebServerParseByteRange(const std::optional<std::string>& rangeHeader) {
  auto range = WebServerCanonicalHeaderValue(rangeHeader);
  if (!range || !range->starts_with("bytes=")) return kWebServerNoByteRange;
  std::string_view spec = std::string_view(*range).substr(6);
  if (spec.find(',') != std::string_view::npos) return kWebServerNoByteRange;
  std::size_t dash = spec.find('-');
  if (dash == std::string_view::npos || spec.find('-', dash + 1) != std::string_view::npos) {
    return kWebServerNoByteRange;
  }
  std::string_view startText = trimmedSpaces(spec.substr(0, dash));
  std::string_view endText = trimmedSpaces(spec.substr(dash + 1));
  std::optional<std::uint64_t> start, end;
  if (!startText.empty() && !(start = WebServerParseDecimal(startText))) return kWebServerNoByteRange;
  if (!endText.empty() && !(end = WebServerParseDecimal(endText))) return kWebServerNoByteRange;
  if (start && end) {
    // A last position before the first is not a valid range: the whole header is ignored.
    if (*end < *start || *end == kWebServerNotFound) return kWebServerNoByteRange;
    return {*start, *end - *start + 1};
  }
  if (start) return {*start, kWebServerNotFound};
  if (end && *end > 0) return {kWebServerNotFound, *end};
  return kWebServerNoByteRange;
}

WebServerRequest::WebServerRequest() = default;
WebServerRequest::~WebServerRequest() = default;

bool WebServerRequest::initWithMethod(const std::string& method, const std::string& url,
                                      const WebServerHeaders& headers, const std::string& path,
                                      const WebServerQuery& query) {
  method_ = method;
  url_ = url;
  headers_ = headers;
  path_ = path;
  query_ = query;

  contentType_ = WebServerCanonicalHeaderValue(headerValue("Content-Type"));
  usesChunkedTransferEncoding_ = WebServerCanonicalHeaderValue(headerValue("Transfer-Encoding")) == "chunked";

  if (auto lengthHeader = headerValue("Content-Length")) {
    auto length = WebServerParseDecimal(trimmedSpaces(*lengthHeader));
    if (!length || usesChunkedTransferEncoding_) {
      WebServerLog(kWebServerLoggingLevel_Warning,
                   "Invalid 'Content-Length' header '{}' for '{}' request on \"{}\"", *lengthHeader, method_,
                   url_);
      return false;
    }
    contentLength_ = *length;
    if (!contentType_) contentType_ = "application/octet-stream";
  } else if (usesChunkedTransferEncoding_) {
    if (!contentType_) contentType_ = "application/octet-stream";
    contentLength_ = kWebServerNotFound;
  } else {
    if (contentType_) {
      WebServerLog(kWebServerLoggingLevel_Warning,
                   "Ignoring 'Content-Type' header for '{}' request on \"{}\"", method_, url_);
      contentType_.reset();
    }
    contentLength_ = kWebServerNotFound;
  }

  if (auto since = headerValue("If-Modified-Since")) ifModifiedSince_ = WebServerDateFromRFC822(*since);
  ifNoneMatch_ = headerValue("If-None-Match");

  auto rangeHeader = headerValue("Range");
  byteRange_ = WebServerParseByteRange(rangeHeader);
  if (rangeHeader && byteRange_ == kWebServerNoByteRange) {
    WebServerLog(kWebServerLoggingLevel_Warning, "Failed to parse 'Range' header \"{}\" for url: {}",
                 WebServerCanonicalHeaderValue(rangeHeader).value_or(""), url_);
  }

  auto acceptEncoding = headerValue("Accept-Encoding");
  acceptsGzipContentEncoding_ = acceptEncoding && acceptEncoding->find("gzip") != std::string::npos;
  return true;
}

std::optional<std::string> WebServerRequest::headerValue(std::string_view name) const {
  auto it = headers_.find(name);
  if (it == headers_.end()) return std::nullopt;
  return it->second;
}

std::string WebServerRequest::localAddressString() const {
  return WebServerAddressText(localAddressData_, true);
}

std::string WebServerRequest::remoteAddressString() const {
  return WebServerAddressText(remoteAddressData_, true);
}

std::any WebServerRequest::attributeForKey(const std::string& key) const {
  auto it = attributes_.find(key);
  return it == attributes_.end() ? std::any() : it->second;
}

void WebServerRequest::setAttribute(std::any value, const std::string& key) {
  if (!value.has_value()) {
    attributes_.erase(key);
  } else {
    attributes_[key] = std::move(value);
  }
}

void WebServerRequest::setCancellationHandler(std::function<void()> handler) {
  bool runNow = false;
  {
    std::lock_guard lock(cancellationMutex_);
    if (cancelled_) {
      runNow = true;
    } else {
      cancellationHandler_ = std::move(handler);
    }
  }
  if (runNow && handler) handler();
}

bool WebServerRequest::isCancelled() const {
  std::lock_guard lock(cancellationMutex_);
  return cancelled_;
}

void WebServerRequest::cancel() {
  std::function<void()> handler;
  {
    std::lock_guard lock(cancellationMutex_);
    if (cancelled_) return;
    cancelled_ = true;
    handler = std::move(cancellationHandler_);
    cancellationHandler_ = nullptr;
  }
  if (handler) handler();
}

void WebServerRequest::prepareForWriting() {
  writer_ = this;
  if (WebServerCanonicalHeaderValue(headerValue("Content-Encoding")) == "gzip") {
    auto decoder = std::make_unique<WebServerGZipDecoder>(this, writer_);
    writer_ = decoder.get();
    decoders_.push_back(std::move(decoder));
  }
}

bool WebServerRequest::performOpen(platform::Error* error) {
  if (opened_ || !writer_) return false;
  opened_ = true;
  return writer_->open(error);
}

bool WebServerRequest::performWriteData(std::span<const std::uint8_t> data, platform::Error* error) {
  return writer_->writeData(data, error);
}

bool WebServerRequest::performClose(platform::Error* error) { return writer_->close(error); }

bool WebServerRequest::open(platform::Error*) { return true; }

bool WebServerRequest::writeData(std::span<const std::uint8_t>, platform::Error*) { return true; }

bool WebServerRequest::close(platform::Error*) { return true; }

std::string WebServerRequest::description() const {
  std::string text = fmt::format("{} {}", method_, path_);
  for (const auto& [name, value] : query_) text += fmt::format("\n  {} = {}", name, value);
  text += "\n";
  // Headers in ascending order of name (the map ignores case, so sort by the exact names).
  std::vector<std::pair<std::string, std::string>> sorted(headers_.begin(), headers_.end());
  std::sort(sorted.begin(), sorted.end());
  for (const auto& [name, value] : sorted) text += fmt::format("\n{}: {}", name, value);
  return text;
}
