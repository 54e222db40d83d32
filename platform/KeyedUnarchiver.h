#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ArchiveObject.h"
#include "platform/Data.h"
#include "platform/Error.h"
#include "platform/PropertyList.h"

namespace platform {

// Raised while decoding a keyed archive that is not sound: not a property list, not a keyed
// archive, no root object, references outside "$objects" or in a cycle, a class that no one
// registered, or a value of another type than the decoder asked for. Callers catch it in their
// exception guards.
class DecodingError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Class name to decoder: how archives rebuild objects of our classes.
class ClassRegistry {
 public:
  // Builds the object from the coder positioned on its archived values; may return nullptr
  // (decoded as nil) and may throw DecodingError.
  using Factory = std::function<std::shared_ptr<Coding>(KeyedUnarchiver&)>;

  ClassRegistry() = default;
  // The process-wide registry that the unarchiver uses unless given another.
  static ClassRegistry& shared();

  void registerClass(const std::string& name, Factory factory);
  // Registers T::initWithCoder (returning std::shared_ptr<T> or a base of it) under `name`.
  template <typename T>
  void registerClass(const std::string& name) {
    registerClass(name, [](KeyedUnarchiver& coder) -> std::shared_ptr<Coding> { return T::initWithCoder(coder); });
  }
  // The decoder for the class, or an empty function.
  Factory factoryForClass(std::string_view name) const;

 private:
  mutable std::mutex mutex_;
  std::map<std::string, Factory, std::less<>> factories_;
};

// Reads the keyed-archive format written by KeyedArchiver (binary or XML property list). Objects
// are rebuilt once per archive entry, so an object referenced twice is decoded to one shared
// object. An archived class is decoded by the first name of its class chain that is a standard
// class or registered in the registry.
//
// Bad archives raise DecodingError, never crash or loop: every UID is checked against "$objects",
// cycles and nesting deeper than kMaxDepth are refused, and copies of shared values are limited to
// a multiple of the archive's size.
class KeyedUnarchiver {
 public:
  static constexpr std::size_t kMaxDepth = 200;

  // Reads the archive's outer structure; raises DecodingError when the data is not a keyed
  // archive.
  explicit KeyedUnarchiver(const Data& data, const ClassRegistry& registry = ClassRegistry::shared());
  KeyedUnarchiver(const KeyedUnarchiver&) = delete;
  KeyedUnarchiver& operator=(const KeyedUnarchiver&) = delete;

  // The root object (top key "root"); raises DecodingError on any fault, including a missing
  // root.
  static ArchiveObject unarchiveObjectWithData(const Data& data,
                                               const ClassRegistry& registry = ClassRegistry::shared());
  // The same without raising: nil and the error (domain NSCocoaErrorDomain, code 4864) on any
  // fault.
  static ArchiveObject unarchiveTopLevelObjectWithData(const Data& data, Error* error = nullptr,
                                                       const ClassRegistry& registry = ClassRegistry::shared());

  // Keyed values of the object being decoded (of "$top" outside initWithCoder).
  bool containsValueForKey(std::string_view key) const;
  // nil when the key is absent.
  ArchiveObject decodeObjectForKey(std::string_view key);
  // The object when it is of class T, nullptr when absent or nil; DecodingError for any other
  // value.
  template <typename T>
  std::shared_ptr<T> decodeObjectOfClass(std::string_view key) {
    ArchiveObject object = decodeObjectForKey(key);
    if (object.isNil()) return nullptr;
    auto typed = object.asObjectOfClass<T>();
    if (!typed) throwWrongType(key, "an object of the expected class");
    return typed;
  }
  // An array whose every element is of class T; nullopt when absent or nil.
  template <typename T>
  std::optional<std::vector<std::shared_ptr<T>>> decodeArrayOfObjectsOfClass(std::string_view key) {
    auto array = decodeArrayForKey(key);
    if (!array) return std::nullopt;
    std::vector<std::shared_ptr<T>> out;
    out.reserve(array->size());
    for (const auto& item : *array) {
      auto typed = item.asObjectOfClass<T>();
      if (!typed) throwWrongType(key, "an array of objects of the expected class");
      out.push_back(std::move(typed));
    }
    return out;
  }
  // Typed objects: nullopt when absent or nil; DecodingError for a value of another kind.
  std::optional<std::string> decodeStringForKey(std::string_view key);
  std::optional<Data> decodeDataForKey(std::string_view key);
  std::optional<Date> decodeDateForKey(std::string_view key);
  std::optional<Color> decodeColorForKey(std::string_view key);
  std::optional<UUIDBytes> decodeUUIDForKey(std::string_view key);
  std::optional<ArchiveObject::Array> decodeArrayForKey(std::string_view key);
  std::optional<ArchiveObject::Dictionary> decodeDictionaryForKey(std::string_view key);
  // A number object (boolean, integer or real).
  std::optional<ArchiveObject> decodeNumberForKey(std::string_view key);

  // Scalars: an absent key reads as false or 0. Numbers of another kind convert (a real read as
  // an integer is truncated; one out of range raises); other values raise.
  bool decodeBoolForKey(std::string_view key);
  std::int32_t decodeInt32ForKey(std::string_view key);
  std::int64_t decodeInt64ForKey(std::string_view key);
  std::int64_t decodeIntegerForKey(std::string_view key) { return decodeInt64ForKey(key); }
  double decodeDoubleForKey(std::string_view key);
  float decodeFloatForKey(std::string_view key);

  // The next unkeyed value of the object being decoded ("$0", "$1", ...).
  ArchiveObject decodeObject();

  // The class chain of the object being decoded (empty outside initWithCoder).
  const std::vector<std::string>& classesOfCurrentObject() const;

 private:
  struct Frame {
    const PropertyList::Dictionary* values = nullptr;
    std::vector<std::string> classes;
    std::uint64_t unkeyed = 0;
  };
  struct Cached {
    ArchiveObject object;
    std::uint64_t cost = 0;
  };
  class Scope;

  [[noreturn]] void throwWrongType(std::string_view key, std::string_view expected) const;
  const PropertyList* valueForKey(std::string_view key) const;
  ArchiveObject decodeUID(std::uint64_t uid, std::uint64_t* cost);
  ArchiveObject decodeEntry(std::uint64_t uid, std::uint64_t* cost);
  ArchiveObject decodeStandard(const std::string& name, const PropertyList::Dictionary& values,
                               std::uint64_t* cost, bool* handled);
  std::optional<ArchiveObject> scalarForKey(std::string_view key);

  const ClassRegistry& registry_;
  PropertyList archive_;
  const PropertyList::Array* objects_ = nullptr;
  std::vector<Frame> frames_;
  std::vector<std::optional<Cached>> cache_;
  std::vector<bool> decoding_;
  std::uint64_t budget_ = 0;
  std::size_t depth_ = 0;
};

}  // namespace platform
