#pragma once

#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "platform/Date.h"

// What a log line tells. Stored as its code; a file may hold codes outside this list, which are kept.
enum class QVModuleLogLineType : std::int64_t {
  other = -1,           // an output line with a type word that is none of the below
  log = 0,              // "log"
  warning = 1,          // "warn", or the application's warnings
  error = 2,            // "error", or the application's errors
  info = 3,             // "info"
  finishedSuccess = 4,  // "finished" whose options say success
  finishedFailure = 5,  // "finished" without success
  notification = 6,     // "notification"
  system = 7,           // the application's own remarks about a run
};

// One line of a module's log: a type, a time and a text. Immutable once made, so lines are shared
// freely between the run threads, the log and its viewers.
class QVModuleLogLine {
 public:
  using Pointer = std::shared_ptr<const QVModuleLogLine>;

  // A line stamped now from a parsed line of module output; nullptr unless it is an object with both
  // "type" and "options".
  static Pointer lineWithDictionary(const nlohmann::json& dictionary);
  // A line stamped now from the application.
  static Pointer lineWithType(QVModuleLogLineType type, std::string log);
  static Pointer systemLogWithString(std::string log);
  static Pointer errorLogWithString(std::string log);
  static Pointer warningLogWithString(std::string log);
  // A line as stored in a log file (one parsed object); nullptr when it is not an object. Missing or
  // unreadable fields give 1970-01-01, type 0 and no text.
  static Pointer lineWithLogDict(const nlohmann::json& logDict);

  // The type a module output line gets from its "type" word and its "options".
  static QVModuleLogLineType determineType(const nlohmann::json& type, const nlohmann::json& options);

  QVModuleLogLine(QVModuleLogLineType type, platform::Date date, std::optional<std::string> logString,
                  nlohmann::json jsonDict = nullptr);

  QVModuleLogLineType type() const { return type_; }
  const platform::Date& date() const { return date_; }
  // The text; nullopt when the line has none (stored as "<No Log>").
  const std::optional<std::string>& logString() const { return logString_; }
  // The output line as received; null for lines made by the application or read from a file.
  const nlohmann::json& jsonDict() const { return jsonDict_; }

  // The stored form: one compact JSON object {"date": seconds since 1970, "type": code, "log": text}
  // that never contains a newline character, so that one line of the file holds one log line.
  std::string jsonString() const;
  // "<QVModuleLogLine 0x...: jsonDict=...>"
  std::string description() const;

 private:
  QVModuleLogLineType type_;
  platform::Date date_;
  std::optional<std::string> logString_;
  nlohmann::json jsonDict_;
};

// The text of a JSON value as a log shows it: strings as they are, numbers in decimal (booleans as 1
// and 0, as numbers), null as "null", arrays and objects as compact JSON with very deep nesting cut.
std::string QVModuleLogTextForValue(const nlohmann::json& value);
