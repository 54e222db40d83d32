#include "platform/Base64.h"

#include <array>

namespace platform {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<int, 256> makeDecodeTable() {
  std::array<int, 256> table{};
  for (auto& entry : table) entry = -1;
  for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = i;
  return table;
}
constexpr auto kDecode = makeDecodeTable();

}  // namespace

std::string base64Encode(const Data& bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    unsigned v = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  std::size_t rest = bytes.size() - i;
  if (rest == 1) {
    unsigned v = bytes[i] << 16;
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += "==";
  } else if (rest == 2) {
    unsigned v = (bytes[i] << 16) | (bytes[i + 1] << 8);
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += '=';
  }
  return out;
}

std::optional<Data> base64Decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  Data out;
  out.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    bool last = i + 4 == text.size();
    int padding = 0;
    if (last && text[i + 3] == '=') padding = text[i + 2] == '=' ? 2 : 1;
    int values[4];
    for (int k = 0; k < 4 - padding; ++k) {
      values[k] = kDecode[static_cast<unsigned char>(text[i + k])];
      if (values[k] < 0) return std::nullopt;
    }
    unsigned v = (values[0] << 18) | (values[1] << 12);
    if (padding < 2) v |= values[2] << 6;
    if (padding < 1) v |= values[3];
    // Bits beyond the last byte must be zero, so every text has one decoding.
    if ((padding == 2 && (v & 0xFFFF)) || (padding == 1 && (v & 0xFF))) return std::nullopt;
    out.push_back(static_cast<std::uint8_t>(v >> 16));
    if (padding < 2) out.push_back(static_cast<std::uint8_t>((v >> 8) & 0xFF));
    if (padding < 1) out.push_back(static_cast<std::uint8_t>(v & 0xFF));
  }
  return out;
}

}  // namespace platform
