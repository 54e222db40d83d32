#include "httpserver/WebServerGZipDecoder.h"

#include <zlib.h>

#include <vector>

struct WebServerGZipDecoder::Stream {
  z_stream z{};
  bool initialised = false;
  std::vector<std::uint8_t> buffer;
};

namespace {
platform::Error zlibError(int code, const char* what) {
  return platform::Error::make(kZlibErrorDomain, code, fmt::format("{} ({})", what, code));
}
}  // namespace

WebServerGZipDecoder::WebServerGZipDecoder(WebServerRequest* request, WebServerBodyWriter* writer)
    : WebServerBodyDecoder(request, writer), stream_(std::make_unique<Stream>()) {}

WebServerGZipDecoder::~WebServerGZipDecoder() {
  if (stream_->initialised) inflateEnd(&stream_->z);
}

bool WebServerGZipDecoder::open(platform::Error* error) {
  int result = inflateInit2(&stream_->z, 15 + 16);
  if (result != Z_OK) return platform::fail(error, zlibError(result, "Failed starting to inflate the body"));
  stream_->initialised = true;
  stream_->buffer.resize(kBufferSize);
  if (!WebServerBodyDecoder::open(error)) {
    inflateEnd(&stream_->z);
    stream_->initialised = false;
    return false;
  }
  return true;
}

bool WebServerGZipDecoder::writeData(std::span<const std::uint8_t> data, platform::Error* error) {
  if (!stream_->initialised) return platform::fail(error, zlibError(Z_STREAM_ERROR, "The body is not open"));
  z_stream& z = stream_->z;
  z.next_in = const_cast<Bytef*>(data.data());
  z.avail_in = static_cast<uInt>(data.size());
  for (;;) {
    if (finished_) {
      if (z.avail_in == 0) break;
      // Another gzip member follows the one that ended.
      int reset = inflateReset(&z);
      if (reset != Z_OK) return platform::fail(error, zlibError(reset, "Failed inflating the body"));
      finished_ = false;
    }
    z.next_out = stream_->buffer.data();
    z.avail_out = static_cast<uInt>(stream_->buffer.size());
    int result = inflate(&z, Z_NO_FLUSH);
    if (result == Z_BUF_ERROR) result = Z_OK;  // no progress possible until more input comes
    if (result != Z_OK && result != Z_STREAM_END) {
      return platform::fail(error, zlibError(result, "Failed inflating the body"));
    }
    std::size_t produced = stream_->buffer.size() - z.avail_out;
    if (produced > 0) {
      decodedLength_ += produced;
      if (decodedLength_ > request()->maximumBodySize()) {
        return platform::fail(error, platform::Error::make(kWebServerErrorDomain, kWebServerErrorBodyTooLarge,
                                                           "The decoded body is larger than allowed"));
      }
      if (!writer()->writeData(std::span(stream_->buffer.data(), produced), error)) return false;
    }
    if (result == Z_STREAM_END) {
      finished_ = true;
      continue;
    }
    if (z.avail_out != 0) break;  // all the input was taken
  }
  return true;
}

bool WebServerGZipDecoder::close(platform::Error* error) {
  bool complete = finished_;
  if (stream_->initialised) {
    inflateEnd(&stream_->z);
    stream_->initialised = false;
  }
  bool closed = WebServerBodyDecoder::close(error);
  if (!closed) return false;
  if (!complete) {
    return platform::fail(error, zlibError(Z_DATA_ERROR, "The gzip body ended before its stream did"));
  }
  return true;
}
