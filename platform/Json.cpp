#include "platform/Json.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace platform::json {

bool isNumber(const nlohmann::json& value) { return value.is_number() || value.is_boolean(); }

namespace {

std::string trimmedLower(const std::string& text) {
  std::size_t start = 0;
  while (start < text.size() && std::isspace(static_cast<unsigned char>(text[start]))) ++start;
  std::string out;
  for (std::size_t i = start; i < text.size(); ++i) {
    out += static_cast<char>(std::tolower(static_cast<unsigned char>(text[i])));
  }
  return out;
}

}  // namespace

std::optional<bool> boolValue(const nlohmann::json& value) {
  if (value.is_boolean()) return value.get<bool>();
  if (value.is_number_integer()) return value.get<std::int64_t>() != 0;
  if (value.is_number_unsigned()) return value.get<std::uint64_t>() != 0;
  if (value.is_number_float()) return value.get<double>() != 0.0;
  if (value.is_string()) {
    // String-to-boolean: "Y", "y", "T", "t" or a digit 1-9 at the start (after optional
    // whitespace, sign and zeros) are true; anything else is false.
    std::string text = trimmedLower(value.get<std::string>());
    std::size_t i = 0;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    while (i < text.size() && text[i] == '0') ++i;
    if (i >= text.size()) return false;
    char c = text[i];
    return c == 'y' || c == 't' || (c >= '1' && c <= '9');
  }
  return std::nullopt;
}

std::optional<std::int64_t> integerValue(const nlohmann::json& value) {
  if (value.is_boolean()) return value.get<bool>() ? 1 : 0;
  if (value.is_number_integer()) return value.get<std::int64_t>();
  if (value.is_number_unsigned()) {
    auto u = value.get<std::uint64_t>();
    return u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
               ? std::numeric_limits<std::int64_t>::max()
               : static_cast<std::int64_t>(u);
  }
  if (value.is_number_float()) {
    double d = value.get<double>();
    if (std::isnan(d)) return 0;
    if (d >= 9.2233720368547758e18) return std::numeric_limits<std::int64_t>::max();
    if (d <= -9.2233720368547758e18) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(d);
  }
  if (value.is_string()) {
    const std::string& text = value.get_ref<const std::string&>();
    errno = 0;
    char* end = nullptr;
    long long parsed = std::strtoll(text.c_str(), &end, 10);
    return static_cast<std::int64_t>(parsed);
  }
  return std::nullopt;
}

std::optional<double> doubleValue(const nlohmann::json& value) {
  if (value.is_boolean()) return value.get<bool>() ? 1.0 : 0.0;
  if (value.is_number()) return value.get<double>();
  if (value.is_string()) {
    // The leading number of the text, read in the C locale whatever locale the process runs in.
    const std::string& text = value.get_ref<const std::string&>();
    const char* begin = text.data();
    const char* end = begin + text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(*begin))) ++begin;
    if (begin < end && *begin == '+') ++begin;
    double parsed = 0;
    auto result = std::from_chars(begin, end, parsed);
    if (result.ec != std::errc() || !std::isfinite(parsed)) return 0.0;
    return parsed;
  }
  return std::nullopt;
}

std::optional<nlohmann::json> parse(std::string_view text) {
  auto value = nlohmann::json::parse(text.begin(), text.end(), nullptr, false);
  if (value.is_discarded()) return std::nullopt;
  return value;
}

std::string dump(const nlohmann::json& value, int indent) {
  return value.dump(indent, ' ', false, nlohmann::json::error_handler_t::replace);
}

bool isNewline(char32_t c) { return (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029; }

std::vector<std::string> splitByNewlines(std::string_view text) {
  std::vector<std::string> pieces;
  std::string current;
  std::size_t i = 0;
  while (i < text.size()) {
    auto byte = static_cast<unsigned char>(text[i]);
    std::size_t width = 1;
    char32_t c = byte;
    if (byte == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x85) {
      c = 0x85;
      width = 2;
    } else if (byte == 0xE2 && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x80 &&
               (static_cast<unsigned char>(text[i + 2]) == 0xA8 ||
                static_cast<unsigned char>(text[i + 2]) == 0xA9)) {
      c = static_cast<unsigned char>(text[i + 2]) == 0xA8 ? 0x2028 : 0x2029;
      width = 3;
    }
    if (isNewline(c)) {
      pieces.push_back(std::move(current));
      current.clear();
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++width;
      i += width;
      continue;
    }
    current.append(text.substr(i, width));
    i += width;
  }
  pieces.push_back(std::move(current));
  return pieces;
}

}  // namespace platform::json
