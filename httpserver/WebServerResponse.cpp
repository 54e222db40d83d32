#include "httpserver/WebServerResponse.h"

#include <algorithm>

#include "httpserver/WebServerGZipEncoder.h"

void WebServerBodyReader::asyncReadDataWithCompletion(WebServerBodyReaderCompletionBlock completion) {
  platform::Error error;
  auto data = readData(&error);
  completion(std::move(data), error);
}

WebServerResponse::WebServerResponse() = default;
WebServerResponse::~WebServerResponse() = default;

std::shared_ptr<WebServerResponse> WebServerResponse::response() {
  return std::make_shared<WebServerResponse>();
}

std::shared_ptr<WebServerResponse> WebServerResponse::responseWithStatusCode(int statusCode) {
  auto response = std::make_shared<WebServerResponse>();
  response->setStatusCode(statusCode);
  return response;
}

std::shared_ptr<WebServerResponse> WebServerResponse::responseWithRedirect(const std::string& location,
                                                                           bool permanent) {
  auto response = responseWithStatusCode(permanent ? 301 : 307);
  response->setValue(location, "Location");
  return response;
}

void WebServerResponse::setValue(const std::optional<std::string>& value, const std::string& header) {
  if (value) {
    additionalHeaders_.insert_or_assign(header, *value);
  } else {
    additionalHeaders_.erase(header);
  }
}

void WebServerResponse::prepareForReading() {
  reader_ = this;
  encoders_.clear();
  if (gzipContentEncodingEnabled_) {
    auto encoder = std::make_unique<WebServerGZipEncoder>(this, reader_);
    reader_ = encoder.get();
    encoders_.push_back(std::move(encoder));
  }
}

bool WebServerResponse::performOpen(platform::Error* error) {
  if (opened_ || !reader_) return false;
  opened_ = true;
  return reader_->open(error);
}

bool WebServerResponse::performsAsyncRead() const { return reader_ && reader_->implementsAsyncReadData(); }

void WebServerResponse::performReadDataWithCompletion(WebServerBodyReaderCompletionBlock completion) {
  if (reader_->implementsAsyncReadData()) {
    reader_->asyncReadDataWithCompletion(std::move(completion));
    return;
  }
  platform::Error error;
  auto data = reader_->readData(&error);
  completion(std::move(data), error);
}

void WebServerResponse::performClose() {
  if (reader_) reader_->close();
}

bool WebServerResponse::open(platform::Error*) { return true; }

std::optional<platform::Data> WebServerResponse::readData(platform::Error*) { return platform::Data(); }

void WebServerResponse::close() {}

std::string WebServerResponse::description() const {
  std::string text = fmt::format("Status Code = {}", statusCode_);
  if (contentType_) text += fmt::format("\nContent Type = {}", *contentType_);
  if (contentLength_ != kWebServerNotFound) text += fmt::format("\nContent Length = {}", contentLength_);
  text += fmt::format("\nCache Control Max Age = {}", cacheControlMaxAge_);
  if (lastModifiedDate_) text += fmt::format("\nLast Modified Date = {}", lastModifiedDate_->iso8601());
  if (eTag_) text += fmt::format("\nETag = {}", *eTag_);
  if (!additionalHeaders_.empty()) {
    text += "\n";
    std::vector<std::pair<std::string, std::string>> sorted(additionalHeaders_.begin(),
                                                            additionalHeaders_.end());
    std::sort(sorted.begin(), sorted.end());
    for (const auto& [name, value] : sorted) text += fmt::format("\n{}: {}", name, value);
  }
  return text;
}

const char* WebServerReasonPhrase(int statusCode) {
  switch (statusCode) {
    case 100:
      return "Continue";
    case 101:
      return "Switching Protocols";
    case 200:
      return "OK";
    case 201:
      return "Created";
    case 202:
      return "Accepted";
    case 203:
      return "Non-Authoritative Information";
    case 204:
      return "No Content";
    case 205:
      return "Reset Content";
    case 206:
      return "Partial Content";
    case 300:
      return "Multiple Choices";
    case 301:
      return "Moved Permanently";
    case 302:
      return "Found";
    case 303:
      return "See Other";
    case 304:
      return "Not Modified";
    case 307:
      return "Temporary Redirect";
    case 308:
      return "Permanent Redirect";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 402:
      return "Payment Required";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 406:
      return "Not Acceptable";
    case 408:
      return "Request Timeout";
    case 409:
      return "Conflict";
    case 410:
      return "Gone";
    case 411:
      return "Length Required";
    case 412:
      return "Precondition Failed";
    case 413:
      return "Content Too Large";
    case 414:
      return "URI Too Long";
    case 415:
      return "Unsupported Media Type";
    case 416:
      return "Range Not Satisfiable";
    case 417:
      return "Expectation Failed";
    case 422:
      return "Unprocessable Content";
    case 426:
      return "Upgrade Required";
    case 428:
      return "Precondition Required";
    case 429:
      return "Too Many Requests";
    case 431:
      return "Request Header Fields Too Large";
    case 500:
      return "Internal Server Error";
    case 501:
      return "Not Implemented";
    case 502:
      return "Bad Gateway";
    case 503:
      return "Service Unavailable";
    case 504:
      return "Gateway Timeout";
    case 505:
      return "HTTP Version Not Supported";
    default:
      return "Unknown";
  }
}
