#pragma once

#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "engine/QVModuleResultOptions.h"
#include "platform/Date.h"

// The outcome of one module run, parsed from the run's "finished" output line:
//   {"type": "finished", "options": {"result": "12 °C", "success": true, "options": {"color": "#FF0000"}}}
// Immutable once made, so one result is shared between the run thread, the module and its readers.
class QVModuleResult {
 public:
  using Pointer = std::shared_ptr<const QVModuleResult>;

  // The result of a whole output line, stamped now; nullptr (with the reason logged) when the line
  // is not a valid "finished" line.
  static Pointer resultWithDictionary(const nlohmann::json& dictionary);

  bool success() const { return success_; }
  // When the line was parsed (never a time sent by the module).
  const platform::Date& date() const { return date_; }
  const std::optional<std::string>& resultString() const { return resultString_; }
  // The display settings; nullopt when the line has none.
  const std::optional<QVModuleResultOptions>& options() const { return options_; }

  // A result made by the program itself (tests, the run's own lines go through the parser instead).
  QVModuleResult(bool success, platform::Date date, std::optional<std::string> resultString,
                 std::optional<QVModuleResultOptions> options);

 private:
  QVModuleResult() = default;
  bool configureWithDict(const nlohmann::json& dictionary);

  bool success_ = false;
  platform::Date date_;
  std::optional<std::string> resultString_;
  std::optional<QVModuleResultOptions> options_;
};
