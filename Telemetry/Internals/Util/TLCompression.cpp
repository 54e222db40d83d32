#include "Telemetry/Internals/Util/TLCompression.h"

#include <zlib.h>

#include <cstddef>
#include <limits>
#include <memory>
#include <mutex>

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

// A deflate state with gzip framing and an output buffer, kept from one body to the next. Making
// the state (a quarter of a megabyte of tables) and a zero-filled buffer for every body cost more
// than compressing it: fresh pages fault in on first touch. A reset state writes the same bytes as
// a new one.
struct Compressor {
  z_stream stream{};
  // Never zero-filled: deflate writes what is read back.
  std::unique_ptr<std::uint8_t[]> output;
  std::size_t capacity = 0;

  Compressor() = default;
  Compressor(const Compressor&) = delete;
  Compressor& operator=(const Compressor&) = delete;
  ~Compressor() { deflateEnd(&stream); }
};

// A buffer larger than this is not kept for the next body.
constexpr std::size_t kLargestKeptOutput = 1024 * 1024;

// One compressor waits here between calls. A caller takes it (or makes another while it is in use)
// and puts it back afterwards, so calls on several threads never share a state. Never destroyed:
// a sender may still compress while the process exits.
struct CompressorSlot {
  std::mutex mutex;
  std::unique_ptr<Compressor> idle;
};
CompressorSlot& slot() {
  static auto* instance = new CompressorSlot;
  return *instance;
}

std::unique_ptr<Compressor> takeCompressor(int* status) {
  {
    std::lock_guard lock(slot().mutex);
    if (slot().idle) {
      auto compressor = std::move(slot().idle);
      *status = deflateReset(&compressor->stream);
      if (*status == Z_OK) return compressor;
    }
  }
  auto compressor = std::make_unique<Compressor>();
  *status = deflateInit2(&compressor->stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
  if (*status != Z_OK) return nullptr;
  return compressor;
}

void putBack(std::unique_ptr<Compressor> compressor) {
  if (compressor->capacity > kLargestKeptOutput) {
    compressor->output.reset();
    compressor->capacity = 0;
  }
  std::lock_guard lock(slot().mutex);
  if (!slot().idle) slot().idle = std::move(compressor);
}

}  // namespace

std::optional<platform::Data> TLCompression::compressData(const platform::Data& data) {
  if (data.empty()) return std::nullopt;
  if (data.size() > std::numeric_limits<uInt>::max()) {
    TLLogError(kTLLogTag, "Compression failed with error: {}", setupErrorText(Z_STREAM_ERROR));
    return std::nullopt;
  }
  int status = Z_OK;
  auto compressor = takeCompressor(&status);
  if (!compressor) {
    TLLogError(kTLLogTag, "Compression failed with error: {}", setupErrorText(status));
    return std::nullopt;
  }
  z_stream& stream = compressor->stream;
  // deflateBound covers incompressible input too (with the gzip header and trailer), so the one
  // buffer always suffices.
  const std::size_t bound = deflateBound(&stream, static_cast<uLong>(data.size()));
  if (compressor->capacity < bound) {
    compressor->output = std::make_unique_for_overwrite<std::uint8_t[]>(bound);
    compressor->capacity = bound;
  }
  stream.next_in = const_cast<Bytef*>(data.data());
  stream.avail_in = static_cast<uInt>(data.size());
  do {
    stream.next_out = compressor->output.get() + stream.total_out;
    stream.avail_out = static_cast<uInt>(bound - stream.total_out);
    status = deflate(&stream, Z_FINISH);
  } while (status == Z_OK);
  if (status != Z_STREAM_END) {
    TLLogError(kTLLogTag, "Deflate failed with error: {}", deflateErrorText(status));
    // A state that failed is not used again.
    return std::nullopt;
  }
  platform::Data output(compressor->output.get(), compressor->output.get() + stream.total_out);
  // Nothing of this body stays reachable from the kept state.
  stream.next_in = nullptr;
  stream.avail_in = 0;
  putBack(std::move(compressor));
  return output;
}
