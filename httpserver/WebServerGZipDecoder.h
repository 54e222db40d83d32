#pragma once

#include <cstdint>
#include <memory>

#include "httpserver/WebServerRequest.h"

// A link of a request's writer chain: passes the body to the writer beneath, changed on the way.
class WebServerBodyDecoder : public WebServerBodyWriter {
 public:
  WebServerBodyDecoder(WebServerRequest* request, WebServerBodyWriter* writer)
      : request_(request), writer_(writer) {}

  bool open(platform::Error* error) override { return writer_->open(error); }
  bool writeData(std::span<const std::uint8_t> data, platform::Error* error) override {
    return writer_->writeData(data, error);
  }
  bool close(platform::Error* error) override { return writer_->close(error); }

 protected:
  WebServerRequest* request() const { return request_; }
  WebServerBodyWriter* writer() const { return writer_; }

 private:
  WebServerRequest* request_;    // not owned: the request owns its decoders
  WebServerBodyWriter* writer_;  // not owned
};

// Inflates a gzip-encoded request body through a fixed buffer. The decoded size is capped at the
// request's maximum body size, and a stream that does not reach its end fails at close.
class WebServerGZipDecoder : public WebServerBodyDecoder {
 public:
  static constexpr std::size_t kBufferSize = 64 * 1024;

  WebServerGZipDecoder(WebServerRequest* request, WebServerBodyWriter* writer);
  ~WebServerGZipDecoder() override;

  bool open(platform::Error* error) override;
  bool writeData(std::span<const std::uint8_t> data, platform::Error* error) override;
  bool close(platform::Error* error) override;

 private:
  struct Stream;
  std::unique_ptr<Stream> stream_;
  bool finished_ = false;
  std::uint64_t decodedLength_ = 0;
};
