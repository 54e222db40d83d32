#include "platform/ArchiveObject.h"

#include <cmath>
#include <limits>

#include "platform/UUID.h"

namespace platform {

std::string UUIDBytes::UUIDString() const { return uuidString(bytes); }

std::optional<UUIDBytes> UUIDBytes::fromString(const std::string& text) {
  auto parsed = parseUUID(text);
  if (!parsed) return std::nullopt;
  return UUIDBytes{*parsed};
}

std::optional<bool> ArchiveObject::boolValue() const {
  if (auto b = asBoolean()) return *b;
  if (auto i = asInteger()) return *i != 0;
  if (auto r = asReal()) return *r != 0.0;
  return std::nullopt;
}

std::optional<std::int64_t> ArchiveObject::integerValue() const {
  if (auto b = asBoolean()) return *b ? 1 : 0;
  if (auto i = asInteger()) return *i;
  if (auto r = asReal()) {
    if (std::isnan(*r)) return 0;
    if (*r >= 9.2233720368547758e18) return std::numeric_limits<std::int64_t>::max();
    if (*r <= -9.2233720368547758e18) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(*r);
  }
  return std::nullopt;
}

std::optional<double> ArchiveObject::doubleValue() const {
  if (auto b = asBoolean()) return *b ? 1.0 : 0.0;
  if (auto i = asInteger()) return static_cast<double>(*i);
  if (auto r = asReal()) return *r;
  return std::nullopt;
}

ArchiveObject ArchiveObject::fromJson(const nlohmann::json& value) {
  switch (value.type()) {
    case nlohmann::json::value_t::null:
      return ArchiveObject(Null{});
    case nlohmann::json::value_t::boolean:
      return ArchiveObject(value.get<bool>());
    case nlohmann::json::value_t::number_integer:
      return ArchiveObject(value.get<std::int64_t>());
    case nlohmann::json::value_t::number_unsigned: {
      auto u = value.get<std::uint64_t>();
      if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        return ArchiveObject(static_cast<double>(u));
      }
      return ArchiveObject(static_cast<std::int64_t>(u));
    }
    case nlohmann::json::value_t::number_float:
      return ArchiveObject(value.get<double>());
    case nlohmann::json::value_t::string:
      return ArchiveObject(value.get<std::string>());
    case nlohmann::json::value_t::array: {
      Array array;
      array.reserve(value.size());
      for (const auto& item : value) array.push_back(fromJson(item));
      return ArchiveObject(std::move(array));
    }
    case nlohmann::json::value_t::object: {
      Dictionary dictionary;
      for (const auto& [key, item] : value.items()) dictionary.emplace(key, fromJson(item));
      return ArchiveObject(std::move(dictionary));
    }
    default:
      return ArchiveObject(Null{});
  }
}

nlohmann::json ArchiveObject::toJson() const {
  switch (kind()) {
    case Kind::Boolean:
      return *asBoolean();
    case Kind::Integer:
      return *asInteger();
    case Kind::Real:
      return *asReal();
    case Kind::String:
      return *asString();
    case Kind::Array: {
      auto out = nlohmann::json::array();
      for (const auto& item : *asArray()) out.push_back(item.toJson());
      return out;
    }
    case Kind::Dictionary: {
      auto out = nlohmann::json::object();
      for (const auto& [key, item] : *asDictionary()) out[key] = item.toJson();
      return out;
    }
    default:
      return nullptr;
  }
}

}  // namespace platform
