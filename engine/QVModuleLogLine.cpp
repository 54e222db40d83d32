#include "engine/QVModuleLogLine.h"

#include <fmt/format.h>

#include <cmath>

#include "platform/Json.h"

namespace {

// Nesting deeper than this is written as an ellipsis: the text stays readable and the recursion bounded.
constexpr int kMaximumTextDepth = 32;

std::string numberText(const nlohmann::json& value) {
  if (value.is_boolean()) return value.get<bool>() ? "1" : "0";
  if (value.is_number_integer()) return std::to_string(value.get<std::int64_t>());
  if (value.is_number_unsigned()) return std::to_string(value.get<std::uint64_t>());
  double number = value.get<double>();
  if (std::isfinite(number) && number == std::trunc(number) && std::fabs(number) < 1e15) {
    return std::to_string(static_cast<std::int64_t>(number));
  }
  return fmt::format("{}", number);
}

void appendJSON(std::string& out, const nlohmann::json& value, int depth) {
  switch (value.type()) {
    case nlohmann::json::value_t::object: {
      if (depth >= kMaximumTextDepth) {
        out += "{\u2026}";
        return;
      }
      out += '{';
      bool first = true;
      for (auto it = value.begin(); it != value.end(); ++it) {
        if (!first) out += ',';
        first = false;
        out += platform::json::dump(nlohmann::json(it.key()));
        out += ':';
        appendJSON(out, it.value(), depth + 1);
      }
      out += '}';
      return;
    }
    case nlohmann::json::value_t::array: {
      if (depth >= kMaximumTextDepth) {
        out += "[\u2026]";
        return;
      }
      out += '[';
      bool first = true;
      for (const auto& element : value) {
        if (!first) out += ',';
        first = false;
        appendJSON(out, element, depth + 1);
      }
      out += ']';
      return;
    }
    default:
      out += platform::json::dump(value);
  }
}

// The text of a finished line's result, or of a stored "log": absent and null give no text.
std::optional<std::string> optionalText(const nlohmann::json* value) {
  if (!value || value->is_null()) return std::nullopt;
  return QVModuleLogTextForValue(*value);
}

const nlohmann::json* member(const nlohmann::json& object, const char* key) {
  if (!object.is_object()) return nullptr;
  auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

// Newline characters that JSON leaves raw inside strings; escaped so that no stored line is split.
void escapeRawNewlines(std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    auto byte = static_cast<unsigned char>(text[i]);
    if (byte == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x85) {
      out += "\\u0085";
      ++i;
    } else if (byte == 0xE2 && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x80 &&
               (static_cast<unsigned char>(text[i + 2]) == 0xA8 ||
                static_cast<unsigned char>(text[i + 2]) == 0xA9)) {
      out += static_cast<unsigned char>(text[i + 2]) == 0xA8 ? "\\u2028" : "\\u2029";
      i += 2;
    } else {
      out += text[i];
    }
  }
  text = std::move(out);
}

}  // namespace

std::string QVModuleLogTextForValue(const nlohmann::json& value) {
  if (value.is_string()) return value.get<std::string>();
  if (value.is_null()) return "null";
  if (platform::json::isNumber(value)) return numberText(value);
  std::string out;
  appendJSON(out, value, 0);
  return out;
}

QVModuleLogLine::QVModuleLogLine(QVModuleLogLineType type, platform::Date date,
                                 std::optional<std::string> logString, nlohmann::json jsonDict)
    : type_(type), date_(date), logString_(std::move(logString)), jsonDict_(std::move(jsonDict)) {}

QVModuleLogLineType QVModuleLogLine::determineType(const nlohmann::json& type,
                                                   const nlohmann::json& options) {
  if (!type.is_string()) return QVModuleLogLineType::other;
  const auto& word = type.get_ref<const std::string&>();
  if (word == "finished") {
    // A success that is not a number, boolean or string (an object, say) is no success.
    const nlohmann::json* success = member(options, "success");
    bool succeeded = success && platform::json::boolValue(*success).value_or(false);
    return succeeded ? QVModuleLogLineType::finishedSuccess : QVModuleLogLineType::finishedFailure;
  }
  if (word == "log") return QVModuleLogLineType::log;
  if (word == "info") return QVModuleLogLineType::info;
  if (word == "warn") return QVModuleLogLineType::warning;
  if (word == "error") return QVModuleLogLineType::error;
  if (word == "notification") return QVModuleLogLineType::notification;
  return QVModuleLogLineType::other;
}

QVModuleLogLine::Pointer QVModuleLogLine::lineWithDictionary(const nlohmann::json& dictionary) {
  const nlohmann::json* type = member(dictionary, "type");
  const nlohmann::json* options = member(dictionary, "options");
  if (!type || !options) return nullptr;
  QVModuleLogLineType code = determineType(*type, *options);
  std::optional<std::string> text;
  if (code == QVModuleLogLineType::finishedSuccess || code == QVModuleLogLineType::finishedFailure) {
    text = optionalText(member(*options, "result"));
  } else if (options->is_array()) {
    std::string joined;
    bool first = true;
    for (const auto& element : *options) {
      if (!first) joined += ' ';
      first = false;
      joined += QVModuleLogTextForValue(element);
    }
    text = std::move(joined);
  }
  return std::make_shared<const QVModuleLogLine>(code, platform::Date::now(), std::move(text), dictionary);
}

QVModuleLogLine::Pointer QVModuleLogLine::lineWithType(QVModuleLogLineType type, std::string log) {
  return std::make_shared<const QVModuleLogLine>(type, platform::Date::now(), std::move(log));
}

QVModuleLogLine::Pointer QVModuleLogLine::systemLogWithString(std::string log) {
  return lineWithType(QVModuleLogLineType::system, std::move(log));
}

QVModuleLogLine::Pointer QVModuleLogLine::errorLogWithString(std::string log) {
  return lineWithType(QVModuleLogLineType::error, std::move(log));
}

QVModuleLogLine::Pointer QVModuleLogLine::warningLogWithString(std::string log) {
  return lineWithType(QVModuleLogLineType::warning, std::move(log));
}

QVModuleLogLine::Pointer QVModuleLogLine::lineWithLogDict(const nlohmann::json& logDict) {
  if (!logDict.is_object()) return nullptr;
  double seconds = 0;
  if (const auto* date = member(logDict, "date")) seconds = platform::json::doubleValue(*date).value_or(0);
  if (!std::isfinite(seconds)) seconds = 0;
  std::int64_t type = 0;
  if (const auto* code = member(logDict, "type")) type = platform::json::integerValue(*code).value_or(0);
  return std::make_shared<const QVModuleLogLine>(static_cast<QVModuleLogLineType>(type),
                                                 platform::Date::fromTimeIntervalSince1970(seconds),
                                                 optionalText(member(logDict, "log")));
}

std::string QVModuleLogLine::jsonString() const {
  nlohmann::ordered_json object;
  object["date"] = date_.timeIntervalSince1970();
  object["type"] = static_cast<std::int64_t>(type_);
  object["log"] = logString_ ? *logString_ : std::string("<No Log>");
  std::string text = object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  escapeRawNewlines(text);
  return text;
}

std::string QVModuleLogLine::description() const {
  std::string dict;
  if (jsonDict_.is_null()) {
    dict = "(null)";
  } else {
    appendJSON(dict, jsonDict_, 0);
  }
  return fmt::format("<QVModuleLogLine {}: jsonDict={}>", fmt::ptr(this), dict);
}
