#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "platform/Color.h"

// The display settings a module gives with its result: the colour of the value text, the address to
// open when the value is clicked, and the whole settings object, passed on in the dashboard output.
class QVModuleResultOptions {
 public:
  // Settings from the result's inner "options" object; nullopt when the argument is not an object.
  // A "color" or "onclick" that is not a string is ignored; other keys are kept in the dictionary.
  static std::optional<QVModuleResultOptions> optionsWithDictionary(const nlohmann::json& dictionary);

  // The colour read from "color" (see platform::zk_colorWithHexColorString); nullopt without one.
  const std::optional<platform::Color>& color() const { return color_; }
  // "onclick"; nullopt without one.
  const std::optional<std::string>& onClickString() const { return onClickString_; }
  // The settings object as received.
  const nlohmann::json& dictionary() const { return dictionary_; }
  // A copy of the settings object, as the dashboard output carries it.
  nlohmann::json jsonValue() const { return dictionary_; }

  bool operator==(const QVModuleResultOptions&) const = default;

 private:
  QVModuleResultOptions() = default;
  bool configureWithDict(const nlohmann::json& dictionary);

  std::optional<platform::Color> color_;
  std::optional<std::string> onClickString_;
  nlohmann::json dictionary_ = nlohmann::json::object();
};
