#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

// Dictionary operations on JSON objects (nlohmann::json or ordered_json). Loading dictionaries from
// property-list resources comes with the property-list reader.

// A copy of the dictionary with the key set to the object (added or replaced); nullopt when the
// receiver is not a dictionary.
template <typename Json>
std::optional<Json> zk_dictionaryByReplacingObject(const Json& dictionary, const Json& object,
                                                   const std::string& key) {
  if (!dictionary.is_object()) return std::nullopt;
  Json copy = dictionary;
  copy[key] = object;
  return copy;
}

// A copy of the dictionary into which every key of the other is set in turn, so the other's value wins
// on a shared key. Something that is not a dictionary (null standing for none) merges nothing.
template <typename Json>
Json zk_dictionaryByMergingWithDictionary(const Json& dictionary, const Json& other) {
  Json merged = dictionary.is_object() ? dictionary : Json::object();
  if (other.is_object()) {
    for (auto it = other.begin(); it != other.end(); ++it) merged[it.key()] = it.value();
  }
  return merged;
}

// A copy with every top-level null replaced by the empty string; the keys stay, and nested
// dictionaries and arrays are left as they are. Something that is not a dictionary comes back as is.
template <typename Json>
Json zk_dictionaryByRemovingNullValues(const Json& dictionary) {
  Json copy = dictionary;
  if (!copy.is_object()) return copy;
  for (auto it = copy.begin(); it != copy.end(); ++it) {
    if (it.value().is_null()) it.value() = "";
  }
  return copy;
}
