#include "engine/QVDMUserOption.h"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>

#include "engine/QVArchiveReading.h"
#include "engine/QVJsonValues.h"
#include "platform/Json.h"
#include "platform/KeyedArchiver.h"
#include "platform/KeyedUnarchiver.h"
#include "platform/Log.h"
#include "platform/UUID.h"

const std::vector<std::string>& QVDMUserOption::availableOptionTypes() {
  static const std::vector<std::string> types = {"string", "boolean", "number", "date"};
  return types;
}

QVDMUserOption::Pointer QVDMUserOption::init() {
  auto option = std::make_shared<QVDMUserOption>();
  option->uid_ = platform::makeUUIDString();
  return option;
}

QVDMUserOption::Pointer QVDMUserOption::optionWithDictionary(const nlohmann::json& definition) {
  if (!definition.is_object()) return nullptr;

  const nlohmann::json* name = QVJsonMember(definition, "name");
  if (!name || !name->is_string() || name->get_ref<const std::string&>().empty()) {
    platform::log("Invalid option name: {}", QVJsonDescription(name));
    return nullptr;
  }
  const nlohmann::json* typeWord = QVJsonMember(definition, "type");
  const auto& types = availableOptionTypes();
  bool knownType =
      typeWord && typeWord->is_string() && !typeWord->get_ref<const std::string&>().empty() &&
      std::find(types.begin(), types.end(), typeWord->get_ref<const std::string&>()) != types.end();
  if (!knownType) {
    platform::log("Invalid option type: {}", QVJsonDescription(typeWord));
    platform::log("Expected one of: {}", fmt::join(types, ", "));
    return nullptr;
  }
  const nlohmann::json* options = QVJsonMember(definition, "options");
  if (options && !options->is_array() && !options->is_object()) {
    platform::log("Invalid options type: {}", QVJsonClassName(options));
    return nullptr;
  }

  auto option = init();
  option->name_ = name->get<std::string>();
  option->setTypeWithString(typeWord->get<std::string>());
  if (const nlohmann::json* required = QVJsonMember(definition, "required")) {
    option->required_ = platform::json::boolValue(*required).value_or(false);
  }
  option->tooltip_ = QVJsonString(QVJsonMember(definition, "tooltip"));
  if (auto title = QVJsonString(QVJsonMember(definition, "title")); title && !title->empty()) {
    option->title_ = std::move(title);
  }
  const nlohmann::json* defaultValue = QVJsonMember(definition, "default");
  option->value_ = QVDMOptionValue::newValueWithObject(
      defaultValue ? *defaultValue : nlohmann::json(nullptr), option->type_,
      options ? *options : nlohmann::json(nullptr), option->uid_);
  return option;
}

void QVDMUserOption::setUid(const std::string& uid) {
  uid_ = uid;
  if (value_) value_->setUid(uid);
}

void QVDMUserOption::setTypeWithString(const std::string& word) {
  type_ = QVDMOptionValue::typeForString(word);
}

std::string QVDMUserOption::displayName() const { return title_ ? *title_ : name_; }

QVDMUserOption::Pointer QVDMUserOption::copy() const {
  auto option = std::make_shared<QVDMUserOption>();
  option->name_ = name_;
  option->tooltip_ = tooltip_;
  option->title_ = title_;
  option->type_ = type_;
  option->required_ = required_;
  option->value_ = value_ ? value_->copy() : nullptr;
  return option;
}

void QVDMUserOption::encodeWithCoder(platform::KeyedArchiver& coder) const {
  coder.encodeObject(uid_, "uid");
  coder.encodeInteger(static_cast<std::int64_t>(type_), "type");
  coder.encodeObject(name_, "name");
  coder.encodeObject(title_, "title");
  coder.encodeObject(value_ ? platform::ArchiveObject::fromJson(value_->jsonValue())
                            : platform::ArchiveObject(platform::Null{}),
                     "jsonValue");
  if (value_) {
    nlohmann::json options = value_->options();
    if (!options.is_null()) coder.encodeObject(platform::ArchiveObject::fromJson(options), "options");
  }
}

QVDMUserOption::Pointer QVDMUserOption::initWithCoder(platform::KeyedUnarchiver& coder) {
  auto option = init();
  platform::ArchiveObject uid = QVDecodeLeafObject(coder, "uid");
  if (uid.asString() && !uid.asString()->empty()) option->uid_ = *uid.asString();
  platform::ArchiveObject name = QVDecodeLeafObject(coder, "name");
  if (name.asString()) option->name_ = *name.asString();
  platform::ArchiveObject title = QVDecodeLeafObject(coder, "title");
  if (title.asString()) option->title_ = *title.asString();
  option->type_ = static_cast<QVDMOptionType>(QVDecodeLeafInteger(coder, "type").value_or(0));

  nlohmann::json jsonValue = QVDecodeLeafObject(coder, "jsonValue").toJson();
  platform::ArchiveObject storedOptions = QVDecodeLeafObject(coder, "options");
  nlohmann::json options = nullptr;
  if (storedOptions.asArray() || storedOptions.asDictionary()) options = storedOptions.toJson();
  option->value_ = QVDMOptionValue::valueWithObject(jsonValue, option->type_, options, option->uid_);
  return option;
}

std::string QVDMUserOption::description() const {
  return fmt::format("<QVDMUserOption: {}: name={}, required={}, type={}, value={}>",
                     static_cast<const void*>(this), name_, required_ ? 1 : 0,
                     static_cast<std::int64_t>(type_), value_ ? value_->description() : "(null)");
}
