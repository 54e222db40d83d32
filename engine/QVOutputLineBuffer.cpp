#include "engine/QVOutputLineBuffer.h"

#include <cstdint>

namespace {

// The newline that starts at `at`: its length in bytes, or 0 when none starts there (also when a
// multi-byte newline is cut off by the end of the text; it is found again once it is complete).
std::size_t newlineLengthAt(std::string_view text, std::size_t at) {
  auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
  std::uint8_t first = byte(at);
  if (first >= 0x0A && first <= 0x0D) return 1;
  std::size_t left = text.size() - at;
  if (first == 0xC2 && left >= 2 && byte(at + 1) == 0x85) return 2;  // NEL
  if (first == 0xE2 && left >= 3 && byte(at + 1) == 0x80 && (byte(at + 2) == 0xA8 || byte(at + 2) == 0xA9)) {
    return 3;  // LINE SEPARATOR, PARAGRAPH SEPARATOR
  }
  return 0;
}

// The longest newline is 3 bytes: a search that resumes may have to look again at the last 2.
constexpr std::size_t kNewlineOverlap = 2;

}  // namespace

void QVOutputLineBuffer::append(std::string_view bytes, const LineHandler& line,
                                const OverlongHandler& overlong) {
  if (bytes.empty()) return;
  tail_.append(bytes);
  std::size_t lineStart = 0;
  std::size_t at = searched_ > kNewlineOverlap ? searched_ - kNewlineOverlap : 0;
  while (at < tail_.size()) {
    std::size_t length = newlineLengthAt(tail_, at);
    if (length == 0) {
      ++at;
      continue;
    }
    if (skipping_) {
      // The end of the overlong line: what follows is read again.
      skipping_ = false;
    } else if (at - lineStart > kMaximumLineLength) {
      overlong();
    } else {
      line(std::string_view(tail_).substr(lineStart, at - lineStart));
    }
    at += length;
    lineStart = at;
  }
  tail_.erase(0, lineStart);
  searched_ = tail_.size();
  if (skipping_) {
    // Keep only what a newline cut by this read could start with.
    if (tail_.size() > kNewlineOverlap) tail_.erase(0, tail_.size() - kNewlineOverlap);
    searched_ = tail_.size();
  } else if (tail_.size() > kMaximumLineLength) {
    overlong();
    skipping_ = true;
    tail_.erase(0, tail_.size() - kNewlineOverlap);
    searched_ = tail_.size();
  }
}

void QVOutputLineBuffer::finish(const LineHandler& line, const OverlongHandler& overlong) {
  if (!skipping_ && !tail_.empty()) {
    if (tail_.size() > kMaximumLineLength) {
      overlong();
    } else {
      line(tail_);
    }
  }
  tail_.clear();
  searched_ = 0;
  skipping_ = false;
}

std::size_t QVUnfinishedUTF8Length(std::string_view text) {
  // Look back over at most 3 continuation bytes for the lead byte of the last character.
  std::size_t size = text.size();
  for (std::size_t back = 1; back <= 4 && back <= size; ++back) {
    auto byte = static_cast<std::uint8_t>(text[size - back]);
    if ((byte & 0xC0) == 0x80) continue;  // a continuation byte
    std::size_t needed = 0;
    if ((byte & 0xE0) == 0xC0) {
      needed = 2;
    } else if ((byte & 0xF0) == 0xE0) {
      needed = 3;
    } else if ((byte & 0xF8) == 0xF0) {
      needed = 4;
    } else {
      return 0;  // ASCII, or a byte no character starts with: nothing to wait for
    }
    return back < needed ? back : 0;
  }
  return 0;
}
