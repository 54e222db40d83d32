#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
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
// and level. The messages live in state shared with the handler, so a message logged on another
// thread while the recorder goes away lands safely.
class MessageRecorder {
 public:
  MessageRecorder() : state_(std::make_shared<State>()) {
    TLLogger::setLogHandler([state = state_](const TLLogMessageProvider& message, TLLogLevel level,
                                             const std::string& tag, const char*, const char* function,
                                             unsigned) {
      LoggedMessage entry{level, tag, function ? function : "", message ? message() : ""};
      std::lock_guard lock(state->mutex);
      state->messages.push_back(std::move(entry));
    });
  }
  ~MessageRecorder() {
    TLLogger::resetLogHandler();
    TLLogger::setCurrentLogLevel(TLLogLevelAssert);
    TLLogger::setIsUserDefinedLogLevel(false);
  }
  std::vector<LoggedMessage> messages() const {
    std::lock_guard lock(state_->mutex);
    return state_->messages;
  }
  // The texts of messages at the level.
  std::vector<std::string> texts(TLLogLevel level) const {
    std::vector<std::string> out;
    for (const auto& message : messages())
      if (message.level == level) out.push_back(message.text);
    return out;
  }

 private:
  struct State {
    std::mutex mutex;
    std::vector<LoggedMessage> messages;
  };
  std::shared_ptr<State> state_;
};

// Runs the command with a shell; its exit status and everything it printed (both streams).
inline int runCapturing(const std::string& command, std::string* output) {
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return -1;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output->append(buffer, n);
  return ::pclose(pipe);
}

}  // namespace tltesting
