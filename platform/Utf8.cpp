#include "platform/Utf8.h"

#include <cstdint>

namespace platform::utf8 {

namespace {

// The length of the well-formed sequence starting at `i`, or 0 when it is ill-formed.
std::size_t sequenceLength(std::string_view text, std::size_t i) {
  auto byte = [&](std::size_t at) { return static_cast<std::uint8_t>(text[at]); };
  std::uint8_t lead = byte(i);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  std::uint8_t low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  if (text.size() - i < length) return 0;
  std::uint8_t second = byte(i + 1);
  if (second < low || second > high) return 0;
  for (std::size_t k = 2; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
  }
  return length;
}

}  // namespace

bool isValid(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    std::size_t length = sequenceLength(text, i);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

std::string sanitized(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    std::size_t length = text[i] == '\0' ? 0 : sequenceLength(text, i);
    if (length == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
    } else {
      out.append(text.substr(i, length));
      i += length;
    }
  }
  return out;
}

}  // namespace platform::utf8
