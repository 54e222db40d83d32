#pragma once

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "Telemetry/Internals/Util/TLLogger.h"

namespace tltesting {

// One message as a handler saw it.
struct LoggedMessage {
  TLLogLevel level;
  std::string tag;
  std::string function;
  std::string text;
};

// Records every message through a custom handler while alive, then restores the default handler
// and level.
class MessageRecorder {
 public:
  MessageRecorder() {
    TLLogger::setLogHandler([this](const TLLogMessageProvider& message, TLLogLevel level,
                                   const std::string& tag, const char*, const char* function, unsigned) {
      std::lock_guard lock(mutex_);
      messages_.push_back({level, tag, function ? function : "", message ? message() : ""});
    });
  }
  ~MessageRecorder() {
    TLLogger::resetLogHandler();
    TLLogger::setCurrentLogLevel(TLLogLevelAssert);
    TLLogger::setIsUserDefinedLogLevel(false);
  }
  std::vector<LoggedMessage> messages() const {
    std::lock_guard lock(mutex_);
    return messages_;
  }
  // The texts of messages at the level.
  std::vector<std::string> texts(TLLogLevel level) const {
    std::vector<std::string> out;
    for (const auto& message : messages())
      if (message.level == level) out.push_back(message.text);
    return out;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<LoggedMessage> messages_;
};

}  // namespace tltesting
