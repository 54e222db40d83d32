#pragma once

#include <array>
#include <concepts>
#include <cstdint>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/Color.h"
#include "platform/Data.h"
#include "platform/Date.h"

namespace platform {

class KeyedArchiver;
class KeyedUnarchiver;

// The base of every class that writes itself into a keyed archive. A class also provides
//   static std::shared_ptr<T> initWithCoder(KeyedUnarchiver& coder);
// and is registered by name in a ClassRegistry (KeyedUnarchiver.h) so that archives can rebuild
// it.
class Coding {
 public:
  virtual ~Coding() = default;
  // The archived class chain, most derived first: {"TLStartServiceLog", "TLAbstractLog"}.
  // "NSObject" is added at the end when missing.
  virtual std::vector<std::string> classesForCoder() const = 0;
  // Writes the object's fields into the coder by key.
  virtual void encodeWithCoder(KeyedArchiver& coder) const = 0;
};

// The null marker object (distinct from nil, which is an absent value).
struct Null {
  bool operator==(const Null&) const = default;
};

// A UUID as its 16 bytes.
struct UUIDBytes {
  std::array<std::uint8_t, 16> bytes{};
  // The upper-case text form.
  std::string UUIDString() const;
  static std::optional<UUIDBytes> fromString(const std::string& text);
  bool operator==(const UUIDBytes&) const = default;
};

// An object as keyed archives hold it: nil, the null marker, a number (boolean, integer or real),
// a string, data, a date, a UUID, a colour, an array, a dictionary with string keys, or an object
// of a class of our own. Values compare by content, objects of our classes by identity.
class ArchiveObject {
 public:
  enum class Kind { Nil, Null, Boolean, Integer, Real, String, Data, Date, UUID, Color, Array, Dictionary, Object };
  using Array = std::vector<ArchiveObject>;
  using Dictionary = std::map<std::string, ArchiveObject, std::less<>>;

  // nil
  ArchiveObject() = default;
  ArchiveObject(std::nullopt_t) {}
  ArchiveObject(std::nullptr_t) {}
  ArchiveObject(Null value) : value_(value) {}
  template <typename B>
    requires std::same_as<B, bool>
  ArchiveObject(B value) : value_(value) {}
  template <std::integral I>
    requires(!std::same_as<I, bool>)
  ArchiveObject(I value) : value_(static_cast<std::int64_t>(value)) {}
  template <std::floating_point F>
  ArchiveObject(F value) : value_(static_cast<double>(value)) {}
  ArchiveObject(std::string value) : value_(std::move(value)) {}
  ArchiveObject(std::string_view value) : value_(std::string(value)) {}
  ArchiveObject(const char* value) : value_(std::string(value)) {}
  ArchiveObject(platform::Data value) : value_(std::move(value)) {}
  ArchiveObject(platform::Date value) : value_(value) {}
  ArchiveObject(UUIDBytes value) : value_(value) {}
  ArchiveObject(platform::Color value) : value_(value) {}
  ArchiveObject(Array value) : value_(std::move(value)) {}
  ArchiveObject(Dictionary value) : value_(std::move(value)) {}
  // An object of one of our classes; a null pointer is nil.
  template <typename T>
    requires std::derived_from<T, Coding>
  ArchiveObject(std::shared_ptr<T> object) {
    if (object) value_ = std::shared_ptr<Coding>(std::move(object));
  }
  // An optional value: nullopt is nil.
  template <typename T>
  ArchiveObject(const std::optional<T>& value) {
    if (value) *this = ArchiveObject(*value);
  }
  // An array of anything that converts to an object.
  template <typename T>
    requires(!std::same_as<T, ArchiveObject> && std::constructible_from<ArchiveObject, const T&>)
  ArchiveObject(const std::vector<T>& items) {
    Array array;
    array.reserve(items.size());
    for (const auto& item : items) array.emplace_back(item);
    value_ = std::move(array);
  }

  Kind kind() const { return static_cast<Kind>(value_.index()); }
  bool isNil() const { return kind() == Kind::Nil; }
  bool isNull() const { return kind() == Kind::Null; }
  // True for booleans, integers and reals: the kinds a number object holds.
  bool isNumber() const { return kind() == Kind::Boolean || kind() == Kind::Integer || kind() == Kind::Real; }

  // Typed access: null when the object is of another kind.
  const bool* asBoolean() const { return std::get_if<bool>(&value_); }
  const std::int64_t* asInteger() const { return std::get_if<std::int64_t>(&value_); }
  const double* asReal() const { return std::get_if<double>(&value_); }
  const std::string* asString() const { return std::get_if<std::string>(&value_); }
  const platform::Data* asData() const { return std::get_if<platform::Data>(&value_); }
  const platform::Date* asDate() const { return std::get_if<platform::Date>(&value_); }
  const UUIDBytes* asUUID() const { return std::get_if<UUIDBytes>(&value_); }
  const platform::Color* asColor() const { return std::get_if<platform::Color>(&value_); }
  const Array* asArray() const { return std::get_if<Array>(&value_); }
  const Dictionary* asDictionary() const { return std::get_if<Dictionary>(&value_); }
  std::shared_ptr<Coding> asObject() const {
    auto p = std::get_if<std::shared_ptr<Coding>>(&value_);
    return p ? *p : nullptr;
  }
  // The object when it is of class T (or derived from it), else null.
  template <typename T>
  std::shared_ptr<T> asObjectOfClass() const {
    return std::dynamic_pointer_cast<T>(asObject());
  }

  // A number's value in another form, as number objects convert: booleans are 0 and 1, reals are
  // truncated toward zero (saturating; NaN is 0), non-zero is true. nullopt for other kinds.
  std::optional<bool> boolValue() const;
  std::optional<std::int64_t> integerValue() const;
  std::optional<double> doubleValue() const;

  // JSON values map to null markers, booleans, integers, reals, strings, arrays and dictionaries.
  static ArchiveObject fromJson(const nlohmann::json& value);
  // The reverse; nil and the null marker become null, and kinds JSON has no form for (data,
  // dates, UUIDs, colours, objects) become null as well.
  nlohmann::json toJson() const;

  bool operator==(const ArchiveObject& other) const = default;

 private:
  std::variant<std::monostate, Null, bool, std::int64_t, double, std::string, platform::Data, platform::Date,
               UUIDBytes, platform::Color, Array, Dictionary, std::shared_ptr<Coding>>
      value_;
};

}  // namespace platform
