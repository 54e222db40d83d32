#pragma once

#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "engine/QVDMOptionValue.h"
#include "platform/ArchiveObject.h"

namespace platform {
class KeyedArchiver;
class KeyedUnarchiver;
}  // namespace platform

// One setting a module declares (an element of its manifest's "user_options", or a notification
// option), with the user's value. Its uid is the key of a secure value in the keychain, so no two
// options share one.
//
// Archived as "QVDMUserOption" with "uid", "type" (integer), "name", "title", "jsonValue" (the value's
// archive form: a secure text is null) and "options" (when present). "tooltip" and "required" come
// back from the package when the module reads it again.
class QVDMUserOption : public platform::Coding {
 public:
  using Pointer = std::shared_ptr<QVDMUserOption>;
  static constexpr const char* kClassName = "QVDMUserOption";

  // An option from its definition, or nullptr (the reason logged) for a bad one:
  //   {"name": "city", "type": "string", "title": "City", "tooltip": "...", "required": true,
  //    "default": "Oslo", "options": ["Oslo", "Bergen"] or {"secure": true} ...}
  static Pointer optionWithDictionary(const nlohmann::json& definition);
  // An empty option with a new uid and no value.
  static Pointer init();
  // Restores an archived option: a new uid unless one is stored, the value rebuilt from the stored
  // "jsonValue" and "options". Wrong kinds of stored values read as absent.
  static Pointer initWithCoder(platform::KeyedUnarchiver& coder);
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;
  std::vector<std::string> classesForCoder() const override { return {kClassName}; }

  // The name, tooltip, title, type, required flag and a copy of the value; no uid until the owner
  // gives it one.
  Pointer copy() const;

  // "string", "boolean", "number", "date".
  static const std::vector<std::string>& availableOptionTypes();

  bool required() const { return required_; }
  void setRequired(bool required) { required_ = required; }
  const std::string& uid() const { return uid_; }
  // Stores the uid and gives it to the value as well.
  void setUid(const std::string& uid);
  const std::string& name() const { return name_; }
  void setName(std::string name) { name_ = std::move(name); }
  const std::optional<std::string>& title() const { return title_; }
  void setTitle(std::optional<std::string> title) { title_ = std::move(title); }
  const std::optional<std::string>& tooltip() const { return tooltip_; }
  void setTooltip(std::optional<std::string> tooltip) { tooltip_ = std::move(tooltip); }
  QVDMOptionType type() const { return type_; }
  void setType(QVDMOptionType type) { type_ = type; }
  // Sets the type from its word; an unknown word gives QVDMOptionType::invalid.
  void setTypeWithString(const std::string& word);
  // The value; nullptr only for an option restored with a type code outside the four types.
  const QVDMOptionValue::Pointer& value() const { return value_; }
  void setValue(QVDMOptionValue::Pointer value) { value_ = std::move(value); }

  // The title when there is one, else the name.
  std::string displayName() const;
  // "<QVDMUserOption: 0x...: name=..., required=0, type=0, value=...>"
  std::string description() const;

 private:
  bool required_ = false;
  std::string uid_;
  std::string name_;
  std::optional<std::string> title_;
  std::optional<std::string> tooltip_;
  QVDMOptionType type_ = QVDMOptionType::string;
  QVDMOptionValue::Pointer value_;
};
