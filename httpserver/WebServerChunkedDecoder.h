#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>

// Decodes a chunked request body incrementally: bytes go in as they arrive from the socket, and the
// chunk data comes out through the sink as soon as it is there, so a chunk of any declared size
// never has to be held whole. Size lines and trailers are bounded.
class WebServerChunkedDecoder {
 public:
  enum class Status { NeedMoreData, Finished, Failed };
  enum class Failure {
    None,
    InvalidChunkLength,
    MissingCRLF,
    SizeLineTooLong,
    TrailersTooLarge,
    SinkRefused
  };

  static constexpr std::size_t kMaximumSizeLineLength = 4096;
  static constexpr std::size_t kMaximumTrailerLength = 16384;

  // Takes a piece of chunk data; answering false stops the decoder with SinkRefused.
  using Sink = std::function<bool(std::span<const std::uint8_t> data)>;

  // Consumes bytes until the body ends, more bytes are needed or the input is invalid; `consumed`
  // tells how many bytes of `input` belong to the body (bytes after its end are left alone).
  Status decode(std::span<const std::uint8_t> input, std::size_t* consumed, const Sink& sink);

  Status status() const { return status_; }
  Failure failure() const { return failure_; }
  // Bytes of chunk data passed to the sink so far.
  std::uint64_t decodedLength() const { return decodedLength_; }

 private:
  enum class State { SizeLine, Data, DataCR, DataLF, Trailer };

  Status fail(Failure failure);
  bool parseSizeLine();

  State state_ = State::SizeLine;
  Status status_ = Status::NeedMoreData;
  Failure failure_ = Failure::None;
  std::string line_;
  std::uint64_t remaining_ = 0;
  std::uint64_t decodedLength_ = 0;
  std::size_t trailerLength_ = 0;
};
