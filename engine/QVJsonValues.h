#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

// Checked reading of JSON that comes from outside the program: manifests, option definitions, module
// output and values restored from archives. Nothing here throws or indexes blindly.

// The member of an object, or null when the value is not an object or has no such key.
const nlohmann::json* QVJsonMember(const nlohmann::json& object, std::string_view key);
inline const nlohmann::json* QVJsonMember(const nlohmann::json* object, std::string_view key) {
  return object ? QVJsonMember(*object, key) : nullptr;
}

// The class a value has for the diagnostics: "NSString", "NSNumber" (booleans too), "NSArray",
// "NSDictionary", "NSNull", and "(null)" for an absent value.
std::string QVJsonClassName(const nlohmann::json* value);
// The value as diagnostics print it: strings as they are, other values as compact JSON (booleans as
// 1 and 0), "(null)" for an absent value. Long texts are cut so that a log line stays bounded.
std::string QVJsonDescription(const nlohmann::json* value);

// A number object's truth: JSON numbers and booleans, non-zero being true; nullopt for anything else.
std::optional<bool> QVJsonNumberBool(const nlohmann::json* value);
// A string's value, or nullopt for anything else.
std::optional<std::string> QVJsonString(const nlohmann::json* value);

// Two values as Foundation objects compare: numbers (booleans counting as 0 and 1) by value, strings
// by their characters, arrays and objects by their members; different kinds differ.
bool QVJsonValuesEqual(const nlohmann::json& a, const nlohmann::json& b);

// Parses UTF-8 JSON text. Arrays and objects nested deeper than `maximumDepth` are dropped (a
// definition needs few levels; a hostile file must not cost the stack later). On a syntax error it
// answers nullopt and, when asked, the parser's message.
std::optional<nlohmann::json> QVParseJSON(std::string_view text, std::string* error = nullptr,
                                          std::size_t maximumDepth = 64);

// Trims leading and trailing white space and newline characters (ASCII and Unicode).
std::string QVTrimmedString(std::string_view text);
