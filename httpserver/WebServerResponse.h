#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "httpserver/WebServerFunctions.h"
#include "platform/Data.h"
#include "platform/Date.h"
#include "platform/Error.h"

// Receives the next piece of a body: non-empty data, empty data at the end, or nullopt with the
// error on failure.
using WebServerBodyReaderCompletionBlock =
    std::function<void(std::optional<platform::Data> data, const platform::Error& error)>;

// Produces a response body piece by piece: open, reads until empty data, close.
class WebServerBodyReader {
 public:
  virtual ~WebServerBodyReader() = default;
  virtual bool open(platform::Error* error) = 0;
  // The next piece; empty data ends the body; nullopt (with the error) is a failure.
  virtual std::optional<platform::Data> readData(platform::Error* error) = 0;
  virtual void close() = 0;
  // Readers that produce their pieces later answer true and implement asyncReadDataWithCompletion,
  // which is then used instead of readData. The completion may run on any thread.
  virtual bool implementsAsyncReadData() const { return false; }
  virtual void asyncReadDataWithCompletion(WebServerBodyReaderCompletionBlock completion);
};

class WebServerBodyEncoder;

// What a handler answers: a status, header values and a body source. The base kind has no body;
// the data, file, streamed and error kinds carry one.
class WebServerResponse : public WebServerBodyReader {
 public:
  WebServerResponse();
  ~WebServerResponse() override;
  WebServerResponse(const WebServerResponse&) = delete;
  WebServerResponse& operator=(const WebServerResponse&) = delete;

  static std::shared_ptr<WebServerResponse> response();
  static std::shared_ptr<WebServerResponse> responseWithStatusCode(int statusCode);
  // 301 when permanent, else 307, with "Location" set to the URL; no body.
  static std::shared_ptr<WebServerResponse> responseWithRedirect(const std::string& location, bool permanent);

  // The body's content type; nullopt means that there is no body.
  const std::optional<std::string>& contentType() const { return contentType_; }
  void setContentType(std::optional<std::string> type) { contentType_ = std::move(type); }
  // The body length; kWebServerNotFound means that it is not known and the body goes out chunked.
  std::uint64_t contentLength() const { return contentLength_; }
  void setContentLength(std::uint64_t length) { contentLength_ = length; }
  int statusCode() const { return statusCode_; }
  void setStatusCode(int code) { statusCode_ = code; }
  // Seconds: 0 gives "Cache-Control: no-cache", more gives "max-age=N, public" (2xx only).
  std::uint32_t cacheControlMaxAge() const { return cacheControlMaxAge_; }
  void setCacheControlMaxAge(std::uint32_t seconds) { cacheControlMaxAge_ = seconds; }
  const std::optional<platform::Date>& lastModifiedDate() const { return lastModifiedDate_; }
  void setLastModifiedDate(std::optional<platform::Date> date) { lastModifiedDate_ = date; }
  const std::optional<std::string>& eTag() const { return eTag_; }
  void setETag(std::optional<std::string> tag) { eTag_ = std::move(tag); }
  bool isGZipContentEncodingEnabled() const { return gzipContentEncodingEnabled_; }
  void setGZipContentEncodingEnabled(bool enabled) { gzipContentEncodingEnabled_ = enabled; }
  // Extra header fields, written after the standard ones (a field of the same name replaces them).
  const WebServerHeaders& additionalHeaders() const { return additionalHeaders_; }
  // Sets a header; nullopt removes it.
  void setValue(const std::optional<std::string>& value, const std::string& header);

  bool hasBody() const { return contentType_.has_value(); }
  bool usesChunkedTransferEncoding() const {
    return contentType_.has_value() && contentLength_ == kWebServerNotFound;
  }

  // For the connection, in this order.
  void prepareForReading();
  bool performOpen(platform::Error* error);
  // True when the body comes through the asynchronous read.
  bool performsAsyncRead() const;
  void performReadDataWithCompletion(WebServerBodyReaderCompletionBlock completion);
  void performClose();

  virtual std::string description() const;

  // The body reader of the base kind: no bytes.
  bool open(platform::Error* error) override;
  std::optional<platform::Data> readData(platform::Error* error) override;
  void close() override;

 private:
  std::optional<std::string> contentType_;
  std::uint64_t contentLength_ = kWebServerNotFound;
  int statusCode_ = 200;
  std::uint32_t cacheControlMaxAge_ = 0;
  std::optional<platform::Date> lastModifiedDate_;
  std::optional<std::string> eTag_;
  bool gzipContentEncodingEnabled_ = false;
  WebServerHeaders additionalHeaders_;

  std::vector<std::unique_ptr<WebServerBodyEncoder>> encoders_;
  WebServerBodyReader* reader_ = nullptr;
  bool opened_ = false;
};

// The standard reason phrase of a status code ("OK", "Not Found"); "Unknown" for others.
const char* WebServerReasonPhrase(int statusCode);
