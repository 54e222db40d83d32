#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::json {

// Helpers that read JSON the way the object model of the design reads decoded JSON: numbers and
// booleans are one kind of value ("number"), strings are separate.

// True for numbers and booleans.
bool isNumber(const nlohmann::json& value);
// A number's value as a boolean (non-zero is true); strings "true"/"yes" (any case) or a number
// text that is non-zero also answer true, as string-to-boolean conversion does. Else nullopt.
std::optional<bool> boolValue(const nlohmann::json& value);
// A number's value as an integer (reals are truncated toward zero, booleans are 0/1); a string's
// leading integer. nullopt for other kinds.
std::optional<std::int64_t> integerValue(const nlohmann::json& value);
// A number's value as a double; a string's leading number. nullopt for other kinds.
std::optional<double> doubleValue(const nlohmann::json& value);

// Parses UTF-8 JSON text without throwing; nullopt on any error.
std::optional<nlohmann::json> parse(std::string_view text);
// Compact JSON text; never throws (invalid UTF-8 is replaced).
std::string dump(const nlohmann::json& value, int indent = -1);

// The newline set: LF, VT, FF, CR, NEL (U+0085), LINE SEPARATOR, PARAGRAPH SEPARATOR.
bool isNewline(char32_t c);
// Splits UTF-8 text at every newline character (a CR LF pair is one break); keeps empty pieces.
std::vector<std::string> splitByNewlines(std::string_view text);

}  // namespace platform::json
