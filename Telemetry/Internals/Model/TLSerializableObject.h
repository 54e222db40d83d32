#pragma once

#include <nlohmann/json.hpp>

#include "platform/ArchiveObject.h"

// Every log and log record: keyed coding (platform::Coding) and a JSON form.
class TLSerializableObject : public platform::Coding {
 public:
  // The JSON form: members only for values that are present.
  virtual nlohmann::json serializeToDictionary() const = 0;
};

// A record that can tell whether it may be sent.
class TLModel {
 public:
  virtual ~TLModel() = default;
  virtual bool isValid() const = 0;
};

// A read-only property `name()` with its setter `setter(value)` over the member `name##_`.
#define TL_PROPERTY(Type, name, setter)                   \
 public:                                                  \
  const Type& name() const { return name##_; }            \
  void setter(Type value) { name##_ = std::move(value); } \
                                                          \
 private:                                                 \
  Type name##_{};
