#include "Telemetry/Internals/Util/TLCompression.h"

#include <zlib.h>

#include <limits>

#include "Telemetry/Internals/Util/TLLogger.h"

namespace {

const char* setupErrorText(int code) {
  switch (code) {
    case Z_VERSION_ERROR:
      return "Version of zlib.h & libz library do not match!";
    case Z_MEM_ERROR:
      return "Not enough memory.";
    case Z_STREAM_ERROR:
      return "Invalid parameter passed in to function.";
    default:
      return "Unknown error!";
  }
}

const char* deflateErrorText(int code) {
  switch (code) {
    case Z_STREAM_ERROR:
      return "Inconsistent stream state.";
    case Z_BUF_ERROR:
      return "No progress is possible.";
    default:
      return "Unknown error!";
  }
}

}  // namespace

std::optional<platform::Data> TLCompression::compressData(const platform::Data& data) {
  if (data.empty()) return std::nullopt;
  if (data.size() > std::numeric_limits<uInt>::max()) {
    TLLogError(kTLLogTag, "Compression failed with error: {}", setupErrorText(Z_STREAM_ERROR));
    return std::nullopt;
  }
  z_stream stream{};
  int status = deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
  if (status != Z_OK) {
    TLLogError(kTLLogTag, "Compression failed with error: {}", setupErrorText(status));
    return std::nullopt;
  }
  // deflateBound covers incompressible input too (with the gzip header and trailer), so the one
  // buffer always suffices.
  platform::Data output(deflateBound(&stream, static_cast<uLong>(data.size())));
  stream.next_in = const_cast<Bytef*>(data.data());
  stream.avail_in = static_cast<uInt>(data.size());
  do {
    stream.next_out = output.data() + stream.total_out;
    stream.avail_out = static_cast<uInt>(output.size() - stream.total_out);
    status = deflate(&stream, Z_FINISH);
  } while (status == Z_OK);
  if (status != Z_STREAM_END) {
    TLLogError(kTLLogTag, "Deflate failed with error: {}", deflateErrorText(status));
    deflateEnd(&stream);
    return std::nullopt;
  }
  output.resize(stream.total_out);
  deflateEnd(&stream);
  return output;
}
