#pragma once

#include <compare>
#include <concepts>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/Data.h"
#include "platform/Date.h"
#include "platform/Error.h"

namespace platform {

// One value of a property list: a dictionary, array, string, integer, real, boolean, date, data
// or UID (the reference type of keyed archives). Property lists are read and written in the binary
// ("bplist00") and XML forms through libplist.
//
// Reading is safe on hostile input: the structure is checked before libplist sees it (nesting
// depth, references that point outside the object table, cycles, and shared sub-trees that would
// expand far beyond the input's size), so malformed or truncated bytes give an error and never a
// crash or an allocation out of proportion to the input.
//
// Limits inherited from the format library, handled here:
// - Integers are signed 64-bit.
// - Strings are written as valid UTF-8 without NUL characters: invalid sequences and NULs are
//   replaced by U+FFFD when written. Reading keeps them as found.
// - Dates keep microseconds between 1933 and 2069 (32-bit seconds around 2001) and whole seconds
//   outside that range; years beyond 1 to 9999 are not supported.
class PropertyList {
 public:
  enum class Type { Dictionary, Array, String, Integer, Real, Boolean, Date, Data, UID };
  enum class Format { Binary, XML };

  // A reference to an entry of a keyed archive's "$objects" array.
  struct UID {
    std::uint64_t value = 0;
    auto operator<=>(const UID&) const = default;
  };
  using Array = std::vector<PropertyList>;
  using Dictionary = std::map<std::string, PropertyList, std::less<>>;

  // Deeper nesting than this is refused when reading and writing.
  static constexpr std::size_t kMaxDepth = 256;

  // An empty dictionary.
  PropertyList() : value_(Dictionary{}) {}
  PropertyList(Dictionary value) : value_(std::move(value)) {}
  PropertyList(Array value) : value_(std::move(value)) {}
  PropertyList(std::string value) : value_(std::move(value)) {}
  PropertyList(std::string_view value) : value_(std::string(value)) {}
  PropertyList(const char* value) : value_(std::string(value)) {}
  template <typename B>
    requires std::same_as<B, bool>
  PropertyList(B value) : value_(value) {}
  template <std::integral I>
    requires(!std::same_as<I, bool>)
  PropertyList(I value) : value_(static_cast<std::int64_t>(value)) {}
  template <std::floating_point F>
  PropertyList(F value) : value_(static_cast<double>(value)) {}
  PropertyList(platform::Date value) : value_(value) {}
  PropertyList(platform::Data value) : value_(std::move(value)) {}
  PropertyList(UID value) : value_(value) {}

  Type type() const { return static_cast<Type>(value_.index()); }

  // Typed access: null when the value is of another type.
  const Dictionary* asDictionary() const { return std::get_if<Dictionary>(&value_); }
  Dictionary* asDictionary() { return std::get_if<Dictionary>(&value_); }
  const Array* asArray() const { return std::get_if<Array>(&value_); }
  Array* asArray() { return std::get_if<Array>(&value_); }
  const std::string* asString() const { return std::get_if<std::string>(&value_); }
  const std::int64_t* asInteger() const { return std::get_if<std::int64_t>(&value_); }
  const double* asReal() const { return std::get_if<double>(&value_); }
  const bool* asBoolean() const { return std::get_if<bool>(&value_); }
  const platform::Date* asDate() const { return std::get_if<platform::Date>(&value_); }
  const platform::Data* asData() const { return std::get_if<platform::Data>(&value_); }
  const UID* asUID() const { return std::get_if<UID>(&value_); }

  // The dictionary entry under `key`; null when this is not a dictionary or the key is absent.
  const PropertyList* find(std::string_view key) const;

  // Values are equal when their types and contents are (an integer 1 differs from a real 1.0 and
  // from true; reals compare by value, so a NaN differs from itself).
  bool operator==(const PropertyList& other) const = default;

  // Reads a binary or XML property list (the form is told by the "bplist00" signature). In XML
  // a dictionary whose only key is "CF$UID" with an integer value is a UID, as keyed archives
  // write them. nullopt, with the error, when the bytes are not a well-formed property list.
  static std::optional<PropertyList> read(std::string_view bytes, Error* error = nullptr,
                                          Format* format = nullptr);
  static std::optional<PropertyList> read(const platform::Data& bytes, Error* error = nullptr,
                                          Format* format = nullptr);

  // The bytes of this value in the given form; nullopt, with the error, when the value nests
  // deeper than kMaxDepth.
  std::optional<platform::Data> write(Format format, Error* error = nullptr) const;

 private:
  std::variant<Dictionary, Array, std::string, std::int64_t, double, bool, platform::Date, platform::Data, UID>
      value_;
};

// The error domain and codes of property-list reading and writing.
inline constexpr const char* kCocoaErrorDomain = "NSCocoaErrorDomain";
inline constexpr std::int64_t kPropertyListReadCorruptError = 3840;
inline constexpr std::int64_t kPropertyListWriteInvalidError = 3852;

}  // namespace platform
