#include "httpserver/WebServerChunkedDecoder.h"

#include <algorithm>

#include "platform/Escaping.h"

WebServerChunkedDecoder::Status WebServerChunkedDecoder::fail(Failure failure) {
  failure_ = failure;
  status_ = Status::Failed;
  return status_;
}

// The size is the hexadecimal number before any ";" (chunk extensions are ignored), with optional
// spaces or tabs around it.
bool WebServerChunkedDecoder::parseSizeLine() {
  std::string_view text(line_);
  text = text.substr(0, text.find(';'));
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  if (text.empty()) return false;
  std::uint64_t value = 0;
  for (char c : text) {
    int digit = platform::hexDigitValue(c);
    if (digit < 0) return false;
    if (value > (UINT64_MAX >> 4)) return false;
    value = (value << 4) | static_cast<std::uint64_t>(digit);
  }
  remaining_ = value;
  return true;
}

WebServerChunkedDecoder::Status WebServerChunkedDecoder::decode(std::span<const std::uint8_t> input,
                                                                std::size_t* consumed, const Sink& sink) {
  std::size_t pos = 0;
  *consumed = 0;
  if (status_ != Status::NeedMoreData) return status_;
  while (pos < input.size()) {
    switch (state_) {
      case State::SizeLine:
      case State::Trailer: {
        auto begin = input.begin() + static_cast<std::ptrdiff_t>(pos);
        auto newline = std::find(begin, input.end(), std::uint8_t('\n'));
        std::size_t take = static_cast<std::size_t>(newline - begin);
        bool complete = newline != input.end();
        std::size_t limit = state_ == State::SizeLine ? kMaximumSizeLineLength : kMaximumTrailerLength;
        std::size_t used = state_ == State::SizeLine ? line_.size() : trailerLength_;
        if (used + take + (complete ? 1 : 0) > limit) {
          *consumed = pos;
          return fail(state_ == State::SizeLine ? Failure::SizeLineTooLong : Failure::TrailersTooLarge);
        }
        line_.append(reinterpret_cast<const char*>(input.data() + pos), take);
        if (state_ == State::Trailer) trailerLength_ += take + (complete ? 1 : 0);
        pos += take;
        if (!complete) break;
        ++pos;  // the LF
        if (line_.empty() || line_.back() != '\r') {
          *consumed = pos;
          return fail(state_ == State::SizeLine ? Failure::InvalidChunkLength : Failure::MissingCRLF);
        }
        line_.pop_back();
        if (state_ == State::Trailer) {
          bool endOfTrailers = line_.empty();
          line_.clear();
          if (endOfTrailers) {
            *consumed = pos;
            status_ = Status::Finished;
            return status_;
          }
          break;
        }
        if (!parseSizeLine()) {
          *consumed = pos;
          return fail(Failure::InvalidChunkLength);
        }
        line_.clear();
        state_ = remaining_ == 0 ? State::Trailer : State::Data;
        break;
      }
      case State::Data: {
        std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(remaining_, input.size() - pos));
        if (!sink(input.subspan(pos, take))) {
          *consumed = pos;
          return fail(Failure::SinkRefused);
        }
        pos += take;
        remaining_ -= take;
        decodedLength_ += take;
        if (remaining_ == 0) state_ = State::DataCR;
        break;
      }
      case State::DataCR:
        if (input[pos] != '\r') {
          *consumed = pos;
          return fail(Failure::MissingCRLF);
        }
        ++pos;
        state_ = State::DataLF;
        break;
      case State::DataLF:
        if (input[pos] != '\n') {
          *consumed = pos;
          return fail(Failure::MissingCRLF);
        }
        ++pos;
        state_ = State::SizeLine;
        break;
    }
  }
  *consumed = pos;
  return status_;
}
