#include "engine/QVJsonValues.h"

#include <cmath>

#include "engine/QVModuleLogLine.h"

namespace {

// Diagnostics print at most this much of a value.
constexpr std::size_t kMaximumDescriptionBytes = 4096;

// The byte length of a white space or newline character starting at `i`, or 0.
std::size_t spaceWidth(std::string_view text, std::size_t i) {
  auto byte = [&](std::size_t at) { return at < text.size() ? static_cast<unsigned char>(text[at]) : 0u; };
  unsigned first = byte(i);
  if (first == ' ' || (first >= 0x09 && first <= 0x0D)) return 1;
  if (first == 0xC2 && (byte(i + 1) == 0x85 || byte(i + 1) == 0xA0)) return 2;
  if (first == 0xE1 && byte(i + 1) == 0x9A && byte(i + 2) == 0x80) return 3;
  if (first == 0xE2 && byte(i + 1) == 0x80) {
    unsigned third = byte(i + 2);
    if ((third >= 0x80 && third <= 0x8A) || third == 0xA8 || third == 0xA9 || third == 0xAF) return 3;
  }
  if (first == 0xE2 && byte(i + 1) == 0x81 && byte(i + 2) == 0x9F) return 3;
  if (first == 0xE3 && byte(i + 1) == 0x80 && byte(i + 2) == 0x80) return 3;
  return 0;
}

// The width of a space character ending just before `end`, or 0.
std::size_t spaceWidthBefore(std::string_view text, std::size_t end) {
  for (std::size_t width = 1; width <= 3 && width <= end; ++width) {
    if (spaceWidth(text, end - width) == width) return width;
  }
  return 0;
}

// Cuts a text to at most `limit` bytes without splitting a UTF-8 character.
std::string cut(std::string text, std::size_t limit) {
  if (text.size() <= limit) return text;
  std::size_t end = limit;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  text.resize(end);
  text += "\u2026";
  return text;
}

}  // namespace

const nlohmann::json* QVJsonMember(const nlohmann::json& object, std::string_view key) {
  if (!object.is_object()) return nullptr;
  auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

std::string QVJsonClassName(const nlohmann::json* value) {
  if (!value) return "(null)";
  switch (value->type()) {
    case nlohmann::json::value_t::string:
      return "NSString";
    case nlohmann::json::value_t::boolean:
    case nlohmann::json::value_t::number_integer:
    case nlohmann::json::value_t::number_unsigned:
    case nlohmann::json::value_t::number_float:
      return "NSNumber";
    case nlohmann::json::value_t::array:
      return "NSArray";
    case nlohmann::json::value_t::object:
      return "NSDictionary";
    case nlohmann::json::value_t::null:
      return "NSNull";
    default:
      return "(null)";
  }
}

std::string QVJsonDescription(const nlohmann::json* value) {
  if (!value || value->is_discarded()) return "(null)";
  return cut(QVModuleLogTextForValue(*value), kMaximumDescriptionBytes);
}

std::optional<bool> QVJsonNumberBool(const nlohmann::json* value) {
  if (!value) return std::nullopt;
  if (value->is_boolean()) return value->get<bool>();
  if (value->is_number_integer()) return value->get<std::int64_t>() != 0;
  if (value->is_number_unsigned()) return value->get<std::uint64_t>() != 0;
  if (value->is_number_float()) {
    double number = value->get<double>();
    return number != 0.0 && !std::isnan(number);
  }
  return std::nullopt;
}

std::optional<std::string> QVJsonString(const nlohmann::json* value) {
  if (!value || !value->is_string()) return std::nullopt;
  return value->get<std::string>();
}

namespace {

bool isNumberLike(const nlohmann::json& value) { return value.is_number() || value.is_boolean(); }

double jsonNumberOf(const nlohmann::json& value) {
  if (value.is_boolean()) return value.get<bool>() ? 1.0 : 0.0;
  return value.get<double>();
}

}  // namespace

bool QVJsonValuesEqual(const nlohmann::json& a, const nlohmann::json& b) {
  if (isNumberLike(a) && isNumberLike(b)) {
    if (a.is_boolean() || b.is_boolean() || a.is_number_float() || b.is_number_float()) {
      return jsonNumberOf(a) == jsonNumberOf(b);
    }
    return a == b;  // integers: exact, also for large values
  }
  if (a.is_array() && b.is_array()) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
      if (!QVJsonValuesEqual(a[i], b[i])) return false;
    }
    return true;
  }
  if (a.is_object() && b.is_object()) {
    if (a.size() != b.size()) return false;
    for (auto it = a.begin(); it != a.end(); ++it) {
      auto other = b.find(it.key());
      if (other == b.end() || !QVJsonValuesEqual(it.value(), *other)) return false;
    }
    return true;
  }
  return a.type() == b.type() && a == b;
}

std::optional<nlohmann::json> QVParseJSON(std::string_view text, std::string* error,
                                          std::size_t maximumDepth) {
  auto callback = [maximumDepth](int depth, nlohmann::json::parse_event_t event, nlohmann::json&) {
    if (event == nlohmann::json::parse_event_t::object_start ||
        event == nlohmann::json::parse_event_t::array_start) {
      return static_cast<std::size_t>(depth) < maximumDepth;
    }
    return true;
  };
  try {
    auto value = nlohmann::json::parse(text.begin(), text.end(), callback, true);
    if (value.is_discarded()) {
      if (error) *error = "The JSON value nests too deeply";
      return std::nullopt;
    }
    return value;
  } catch (const nlohmann::json::exception& e) {
    if (error) *error = e.what();
    return std::nullopt;
  }
}

std::string QVTrimmedString(std::string_view text) {
  std::size_t start = 0;
  while (std::size_t width = spaceWidth(text, start)) start += width;
  std::size_t end = text.size();
  while (end > start) {
    std::size_t width = spaceWidthBefore(text, end);
    if (width == 0) break;
    end -= width;
  }
  return std::string(text.substr(start, end - start));
}
