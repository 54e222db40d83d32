#include <gtest/gtest.h>

#include <string>

#include "httpserver/WebServerChunkedDecoder.h"

namespace {

using Status = WebServerChunkedDecoder::Status;
using Failure = WebServerChunkedDecoder::Failure;

struct Outcome {
  Status status = Status::NeedMoreData;
  Failure failure = Failure::None;
  std::string data;
  std::size_t consumed = 0;  // bytes of the input taken as the body
};

// Feeds the input in pieces of `pieceSize` bytes.
Outcome decode(const std::string& input, std::size_t pieceSize) {
  WebServerChunkedDecoder decoder;
  Outcome outcome;
  std::size_t fed = 0;
  while (fed < input.size()) {
    std::size_t length = std::min(pieceSize, input.size() - fed);
    std::size_t consumed = 0;
    outcome.status =
        decoder.decode(std::span(reinterpret_cast<const std::uint8_t*>(input.data()) + fed, length),
                       &consumed, [&](std::span<const std::uint8_t> piece) {
                         outcome.data.append(reinterpret_cast<const char*>(piece.data()), piece.size());
                         return true;
                       });
    fed += consumed;
    if (outcome.status != Status::NeedMoreData) break;
  }
  outcome.failure = decoder.failure();
  outcome.consumed = fed;
  return outcome;
}

}  // namespace

TEST(WebServerChunkedDecoder, DecodesInAnySplit) {
  std::string big(300, 'x');
  struct Case {
    std::string input;
    std::string data;
    std::size_t consumed;
  } cases[] = {
      {"a\r\n0123456789\r\n12c\r\n" + big + "\r\n0\r\n\r\n", "0123456789" + big, 0},
      {"A\r\n0123456789\r\n0\r\n\r\n", "0123456789", 0},
      {"5;name=value\r\nhello\r\n0;x\r\n\r\n", "hello", 0},
      {"5 \r\nhello\r\n0\r\n\r\n", "hello", 0},
      {"0005\r\nhello\r\n0\r\nTrailer: one\r\nOther: two\r\n\r\n", "hello", 0},
      {"0\r\n\r\n", "", 0},
      // Bytes after the end are not part of the body.
      {"3\r\nabc\r\n0\r\n\r\nGET / HTTP/1.1\r\n", "abc", 13},
  };
  for (const auto& c : cases) {
    for (std::size_t piece : {std::size_t(1), std::size_t(2), std::size_t(7), c.input.size()}) {
      auto outcome = decode(c.input, piece);
      EXPECT_EQ(outcome.status, Status::Finished) << c.input << " in pieces of " << piece;
      EXPECT_EQ(outcome.data, c.data) << c.input << " in pieces of " << piece;
      EXPECT_EQ(outcome.consumed, c.consumed ? c.consumed : c.input.size()) << c.input;
    }
  }
}

TEST(WebServerChunkedDecoder, RefusesBadFraming) {
  std::string longLine =
      std::string(WebServerChunkedDecoder::kMaximumSizeLineLength, '0') + "1\r\nx\r\n0\r\n\r\n";
  std::string longTrailers = "0\r\n";
  while (longTrailers.size() <= WebServerChunkedDecoder::kMaximumTrailerLength)
    longTrailers += "X-Trailer: 0123456789\r\n";
  struct Case {
    std::string input;
    Failure failure;
  } cases[] = {
      {"g\r\nabc\r\n", Failure::InvalidChunkLength},
      {"-5\r\nhello\r\n", Failure::InvalidChunkLength},
      {"+5\r\nhello\r\n", Failure::InvalidChunkLength},
      {"0x5\r\nhello\r\n", Failure::InvalidChunkLength},
      {"\r\nhello\r\n", Failure::InvalidChunkLength},
      {"5\nhello\r\n", Failure::InvalidChunkLength},
      {"10000000000000000\r\n", Failure::InvalidChunkLength},
      {"5\r\nhelloXX", Failure::MissingCRLF},
      {"5\r\nhello\rX", Failure::MissingCRLF},
      {"0\r\nTrailer: x\n", Failure::MissingCRLF},
      {longLine, Failure::SizeLineTooLong},
      {longTrailers, Failure::TrailersTooLarge},
  };
  for (const auto& c : cases) {
    for (std::size_t piece : {std::size_t(1), c.input.size()}) {
      auto outcome = decode(c.input, piece);
      EXPECT_EQ(outcome.status, Status::Failed) << c.input.substr(0, 40);
      EXPECT_EQ(outcome.failure, c.failure) << c.input.substr(0, 40);
    }
  }
}

TEST(WebServerChunkedDecoder, HugeChunkStreamsWithoutBuffering) {
  // A declared chunk far larger than memory is passed on piece by piece as it arrives.
  WebServerChunkedDecoder decoder;
  std::string head = "ffffffffffff\r\n";
  std::size_t consumed = 0;
  std::size_t delivered = 0;
  auto sink = [&](std::span<const std::uint8_t> piece) {
    delivered += piece.size();
    return true;
  };
  EXPECT_EQ(decoder.decode(std::span(reinterpret_cast<const std::uint8_t*>(head.data()), head.size()),
                           &consumed, sink),
            Status::NeedMoreData);
  std::string piece(65536, 'z');
  for (int i = 0; i < 16; ++i) {
    decoder.decode(std::span(reinterpret_cast<const std::uint8_t*>(piece.data()), piece.size()), &consumed,
                   sink);
    EXPECT_EQ(consumed, piece.size());
  }
  EXPECT_EQ(delivered, 16u * 65536u);
  EXPECT_EQ(decoder.decodedLength(), delivered);
}

TEST(WebServerChunkedDecoder, SinkCanStopTheBody) {
  WebServerChunkedDecoder decoder;
  std::string input = "5\r\nhello\r\n0\r\n\r\n";
  std::size_t consumed = 0;
  auto status = decoder.decode(std::span(reinterpret_cast<const std::uint8_t*>(input.data()), input.size()),
                               &consumed, [](std::span<const std::uint8_t>) { return false; });
  EXPECT_EQ(status, Status::Failed);
  EXPECT_EQ(decoder.failure(), Failure::SinkRefused);
}
