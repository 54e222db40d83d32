#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "Telemetry/Internals/Model/TLSerializableObject.h"
#include "platform/Date.h"
#include "platform/KeyedUnarchiver.h"

// A named, typed event property. Each value kind is a subclass with its type name.
class TLTypedProperty : public TLSerializableObject {
 public:
  static constexpr const char* kClassName = "TLTypedProperty";
  using String = std::optional<std::string>;

  // {"type", "name", "value"}, each when present.
  nlohmann::json serializeToDictionary() const override;
  // Same value kind, equal type names and values; the name is not compared.
  virtual bool isEqual(const TLTypedProperty& other) const;
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;

  TL_PROPERTY(String, type, setType)
  TL_PROPERTY(String, name, setName)

 protected:
  void decodeFields(platform::KeyedUnarchiver& coder);
  // The value in its JSON form; nullopt when absent.
  virtual std::optional<nlohmann::json> jsonValue() const = 0;
  virtual void encodeValue(platform::KeyedArchiver& coder) const = 0;
  virtual bool isEqualValue(const TLTypedProperty& other) const = 0;
};

// The value kinds. T is the value type, Derived the class itself.
template <typename Derived, typename T>
class TLTypedPropertyOf : public TLTypedProperty {
 public:
  static std::shared_ptr<Derived> init() { return std::make_shared<Derived>(); }
  std::vector<std::string> classesForCoder() const override {
    return {Derived::kClassName, TLTypedProperty::kClassName};
  }
  const T& value() const { return value_; }
  void setValue(T value) { value_ = std::move(value); }

 protected:
  bool isEqualValue(const TLTypedProperty& other) const override {
    auto typed = dynamic_cast<const Derived*>(&other);
    return typed && value_ == typed->value_;
  }
  T value_{};
};

class TLStringTypedProperty : public TLTypedPropertyOf<TLStringTypedProperty, std::optional<std::string>> {
 public:
  static constexpr const char* kClassName = "TLStringTypedProperty";
  TLStringTypedProperty() { setType("string"); }
  static std::shared_ptr<TLStringTypedProperty> initWithCoder(platform::KeyedUnarchiver& coder);

 protected:
  std::optional<nlohmann::json> jsonValue() const override;
  void encodeValue(platform::KeyedArchiver& coder) const override;
};

class TLBooleanTypedProperty : public TLTypedPropertyOf<TLBooleanTypedProperty, bool> {
 public:
  static constexpr const char* kClassName = "TLBooleanTypedProperty";
  TLBooleanTypedProperty() { setType("boolean"); }
  static std::shared_ptr<TLBooleanTypedProperty> initWithCoder(platform::KeyedUnarchiver& coder);

 protected:
  std::optional<nlohmann::json> jsonValue() const override { return nlohmann::json(value_); }
  void encodeValue(platform::KeyedArchiver& coder) const override;
};

class TLLongTypedProperty : public TLTypedPropertyOf<TLLongTypedProperty, std::int64_t> {
 public:
  static constexpr const char* kClassName = "TLLongTypedProperty";
  TLLongTypedProperty() { setType("long"); }
  static std::shared_ptr<TLLongTypedProperty> initWithCoder(platform::KeyedUnarchiver& coder);

 protected:
  std::optional<nlohmann::json> jsonValue() const override { return nlohmann::json(value_); }
  void encodeValue(platform::KeyedArchiver& coder) const override;
};

class TLDoubleTypedProperty : public TLTypedPropertyOf<TLDoubleTypedProperty, double> {
 public:
  static constexpr const char* kClassName = "TLDoubleTypedProperty";
  TLDoubleTypedProperty() { setType("double"); }
  static std::shared_ptr<TLDoubleTypedProperty> initWithCoder(platform::KeyedUnarchiver& coder);

 protected:
  std::optional<nlohmann::json> jsonValue() const override { return nlohmann::json(value_); }
  void encodeValue(platform::KeyedArchiver& coder) const override;
};

class TLDateTimeTypedProperty
    : public TLTypedPropertyOf<TLDateTimeTypedProperty, std::optional<platform::Date>> {
 public:
  static constexpr const char* kClassName = "TLDateTimeTypedProperty";
  TLDateTimeTypedProperty() { setType("dateTime"); }
  static std::shared_ptr<TLDateTimeTypedProperty> initWithCoder(platform::KeyedUnarchiver& coder);

 protected:
  std::optional<nlohmann::json> jsonValue() const override;
  void encodeValue(platform::KeyedArchiver& coder) const override;
};
