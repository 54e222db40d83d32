#include "Telemetry/Internals/Model/TLOrderedDictionary.h"

void TLOrderedDictionary::setObject(Value object, const std::string& key) {
  auto [it, inserted] = dictionary_.try_emplace(key);
  if (inserted) order_.push_back(key);
  it->second = std::move(object);
}

const TLOrderedDictionary::Value* TLOrderedDictionary::objectForKey(const std::string& key) const {
  auto it = dictionary_.find(key);
  return it == dictionary_.end() ? nullptr : &it->second;
}

void TLOrderedDictionary::removeAllObjects() {
  order_.clear();
  dictionary_.clear();
}

bool TLOrderedDictionary::isEqualToDictionary(const TLOrderedDictionary& other) const {
  return order_ == other.order_ && dictionary_ == other.dictionary_;
}

nlohmann::ordered_json TLOrderedDictionary::toJson() const {
  auto object = nlohmann::ordered_json::object();
  for (const auto& key : order_) object[key] = dictionary_.at(key);
  return object;
}
