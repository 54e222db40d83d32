#include "httpserver/WebServerGZipEncoder.h"

#include <zlib.h>

#include <algorithm>

#include "httpserver/WebServerRequest.h"

struct WebServerGZipEncoder::Stream {
  z_stream z{};
  bool initialised = false;
  bool finished = false;
  ~Stream() {
    if (initialised) deflateEnd(&z);
  }
};

namespace {
constexpr std::size_t kMaximumInitialBuffer = 256 * 1024;

platform::Error zlibError(int code) {
  return platform::Error::make(kZlibErrorDomain, code, fmt::format("Failed deflating the body ({})", code));
}
}  // namespace

WebServerGZipEncoder::WebServerGZipEncoder(WebServerResponse* response, WebServerBodyReader* reader)
    : WebServerBodyEncoder(response, reader), stream_(std::make_shared<Stream>()) {
  response->setContentLength(kWebServerNotFound);
  response->setValue("gzip", "Content-Encoding");
}

WebServerGZipEncoder::~WebServerGZipEncoder() = default;

bool WebServerGZipEncoder::open(platform::Error* error) {
  int result = deflateInit2(&stream_->z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
  if (result != Z_OK) return platform::fail(error, zlibError(result));
  stream_->initialised = true;
  if (!WebServerBodyEncoder::open(error)) {
    deflateEnd(&stream_->z);
    stream_->initialised = false;
    return false;
  }
  return true;
}

bool WebServerGZipEncoder::deflatePiece(const platform::Data& input, bool flush, platform::Data* output,
                                        platform::Error* error) {
  z_stream& z = stream_->z;
  bool finishing = input.empty();
  z.next_in = const_cast<Bytef*>(input.data());
  z.avail_in = static_cast<uInt>(input.size());
  std::size_t room =
      std::clamp<std::size_t>(deflateBound(&z, input.size()) + 64, 4096, kMaximumInitialBuffer);
  int mode = finishing ? Z_FINISH : (flush ? Z_SYNC_FLUSH : Z_NO_FLUSH);
  for (;;) {
    std::size_t start = output->size();
    output->resize(start + room);
    z.next_out = output->data() + start;
    z.avail_out = static_cast<uInt>(room);
    int result = deflate(&z, mode);
    output->resize(start + room - z.avail_out);
    if (result == Z_BUF_ERROR) result = Z_OK;  // nothing to do with this input
    if (result != Z_OK && result != Z_STREAM_END) return platform::fail(error, zlibError(result));
    if (result == Z_STREAM_END) stream_->finished = true;
    if (z.avail_out != 0) break;  // deflate had room to spare: this piece is done
    room *= 2;
  }
  return true;
}

std::optional<platform::Data> WebServerGZipEncoder::readData(platform::Error* error) {
  if (stream_->finished || !stream_->initialised) return platform::Data();
  platform::Data output;
  // Keep reading until deflate gives bytes: an empty answer would end the body too early.
  while (output.empty() && !stream_->finished) {
    auto input = reader()->readData(error);
    if (!input) return std::nullopt;
    if (!deflatePiece(*input, false, &output, error)) return std::nullopt;
  }
  return output;
}

void WebServerGZipEncoder::asyncReadDataWithCompletion(WebServerBodyReaderCompletionBlock completion) {
  if (stream_->finished || !stream_->initialised) {
    completion(platform::Data(), platform::Error());
    return;
  }
  // The stream stays alive through the completion even when the response goes first.
  auto stream = stream_;
  reader()->asyncReadDataWithCompletion(
      [this, stream, completion = std::move(completion)](std::optional<platform::Data> input,
                                                         const platform::Error& readError) {
        if (!input) {
          completion(std::nullopt, readError);
          return;
        }
        platform::Data output;
        platform::Error error;
        if (!deflatePiece(*input, true, &output, &error)) {
          completion(std::nullopt, error);
          return;
        }
        completion(std::move(output), platform::Error());
      });
}

void WebServerGZipEncoder::close() {
  if (stream_->initialised) {
    deflateEnd(&stream_->z);
    stream_->initialised = false;
  }
  WebServerBodyEncoder::close();
}
