// Feeds arbitrary bytes, split into pieces at places taken from the input, to the chunked body
// decoder and checks what it reports against what it was given.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "httpserver/WebServerChunkedDecoder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  // The first byte chooses the piece size, so that every split of the body is tried.
  std::size_t pieceSize = static_cast<std::size_t>(data[0]) + 1;
  std::span<const std::uint8_t> body(data + 1, size - 1);

  WebServerChunkedDecoder decoder;
  std::uint64_t delivered = 0;
  std::size_t fed = 0;
  auto status = WebServerChunkedDecoder::Status::NeedMoreData;
  while (fed < body.size()) {
    auto piece = body.subspan(fed, std::min(pieceSize, body.size() - fed));
    std::size_t consumed = 0;
    status = decoder.decode(piece, &consumed, [&](std::span<const std::uint8_t> chunk) {
      // Chunk data always lies inside the piece being decoded.
      if (chunk.data() < piece.data() || chunk.data() + chunk.size() > piece.data() + piece.size())
        std::abort();
      delivered += chunk.size();
      return true;
    });
    if (consumed > piece.size()) std::abort();
    fed += consumed;
    if (status != WebServerChunkedDecoder::Status::NeedMoreData) break;
    if (consumed != piece.size()) std::abort();
  }
  if (delivered > body.size() || delivered != decoder.decodedLength()) std::abort();
  // A decoder that finished or failed takes nothing more.
  if (status != WebServerChunkedDecoder::Status::NeedMoreData) {
    std::size_t consumed = 1;
    auto again = decoder.decode(body, &consumed, [](std::span<const std::uint8_t>) { return true; });
    if (again != status || consumed != 0) std::abort();
  }
  return 0;
}
