#include "engine/QVArchiveReading.h"

platform::ArchiveObject QVDecodeLeafObject(platform::KeyedUnarchiver& coder, std::string_view key) {
  try {
    return coder.decodeObjectForKey(key);
  } catch (const platform::DecodingError&) {
    return platform::ArchiveObject();
  }
}

namespace {

// A number written as an object reference (nil and other kinds are absent), else as a scalar.
template <typename T, typename FromObject, typename FromScalar>
std::optional<T> decodeLeafNumber(platform::KeyedUnarchiver& coder, std::string_view key,
                                  FromObject fromObject, FromScalar fromScalar) {
  if (!coder.containsValueForKey(key)) return std::nullopt;
  try {
    return fromObject(coder.decodeObjectForKey(key));
  } catch (const platform::DecodingError&) {
    // Not a reference: a scalar, or something else.
  }
  try {
    return fromScalar();
  } catch (const platform::DecodingError&) {
    return std::nullopt;
  }
}

}  // namespace

std::optional<double> QVDecodeLeafDouble(platform::KeyedUnarchiver& coder, std::string_view key) {
  return decodeLeafNumber<double>(
      coder, key, [](const platform::ArchiveObject& object) { return object.doubleValue(); },
      [&] { return coder.decodeDoubleForKey(key); });
}

std::optional<std::int64_t> QVDecodeLeafInteger(platform::KeyedUnarchiver& coder, std::string_view key) {
  return decodeLeafNumber<std::int64_t>(
      coder, key, [](const platform::ArchiveObject& object) { return object.integerValue(); },
      [&] { return coder.decodeInt64ForKey(key); });
}
