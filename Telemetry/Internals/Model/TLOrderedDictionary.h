#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

// A dictionary that enumerates its keys in the order of their first insertion, so JSON written from
// it keeps that order. Values are JSON values (an ordered dictionary nested in another is stored
// through its toJson()).
class TLOrderedDictionary {
 public:
  using Value = nlohmann::ordered_json;

  TLOrderedDictionary() = default;
  explicit TLOrderedDictionary(std::size_t capacity) { order_.reserve(capacity); }

  // A new key goes to the end of the order; an existing key keeps its place.
  void setObject(Value object, const std::string& key);
  // The keys, first inserted first.
  const std::vector<std::string>& keyEnumerator() const { return order_; }
  const Value* objectForKey(const std::string& key) const;
  std::size_t count() const { return dictionary_.size(); }
  void removeAllObjects();
  // An independent copy: later changes to either leave the other alone.
  TLOrderedDictionary mutableCopy() const { return *this; }
  // The same entries in the same order.
  bool isEqualToDictionary(const TLOrderedDictionary& other) const;

  // The JSON object with its members in key order.
  nlohmann::ordered_json toJson() const;

  const std::vector<std::string>& order() const { return order_; }
  const std::map<std::string, Value>& dictionary() const { return dictionary_; }

 private:
  std::vector<std::string> order_;
  std::map<std::string, Value> dictionary_;
};
