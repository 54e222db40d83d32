#include "platform/HexColor.h"

#include "platform/Escaping.h"

namespace platform {

namespace {

// The byte length of the white space or newline character at `i`, or 0 when there is none: ASCII
// blanks and line ends, NEL, NO-BREAK SPACE, and the Unicode space and line separators.
std::size_t whitespaceWidth(std::string_view text, std::size_t i) {
  auto byte = [&](std::size_t at) { return at < text.size() ? static_cast<unsigned char>(text[at]) : 0u; };
  unsigned first = byte(i);
  if (first == ' ' || (first >= 0x09 && first <= 0x0D)) return 1;
  if (first == 0xC2 && (byte(i + 1) == 0x85 || byte(i + 1) == 0xA0)) return 2;
  if (first == 0xE1 && byte(i + 1) == 0x9A && byte(i + 2) == 0x80) return 3;  // U+1680
  if (first == 0xE2 && byte(i + 1) == 0x80) {
    unsigned third = byte(i + 2);
    // U+2000-U+200A, U+2028, U+2029, U+202F
    if ((third >= 0x80 && third <= 0x8A) || third == 0xA8 || third == 0xA9 || third == 0xAF) return 3;
  }
  if (first == 0xE2 && byte(i + 1) == 0x81 && byte(i + 2) == 0x9F) return 3;  // U+205F
  if (first == 0xE3 && byte(i + 1) == 0x80 && byte(i + 2) == 0x80) return 3;  // U+3000
  return 0;
}

}  // namespace

std::uint32_t zk_scanHexInt(std::string_view text) {
  std::size_t i = 0;
  while (std::size_t width = whitespaceWidth(text, i)) i += width;
  if (i + 2 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X') &&
      hexDigitValue(text[i + 2]) >= 0) {
    i += 2;
  }
  std::uint64_t value = 0;
  bool overflowed = false;
  for (; i < text.size(); ++i) {
    int digit = hexDigitValue(text[i]);
    if (digit < 0) break;
    if (!overflowed) {
      value = value * 16 + static_cast<std::uint64_t>(digit);
      if (value > 0xFFFFFFFFu) overflowed = true;
    }
  }
  return overflowed ? 0xFFFFFFFFu : static_cast<std::uint32_t>(value);
}

Color zk_colorWithHexColorString(std::string_view text) {
  if (!text.empty() && text.front() == '#') text.remove_prefix(1);
  std::uint32_t number = zk_scanHexInt(text);
  return Color::colorWithDeviceRed(((number >> 16) & 0xFF) / 255.0, ((number >> 8) & 0xFF) / 255.0,
                                   (number & 0xFF) / 255.0, 1.0);
}

}  // namespace platform
