#pragma once

#include <fmt/format.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

// Levels of the SDK's diagnostic log. TLLogLevelNone as the current level silences everything, and
// a message at TLLogLevelNone never prints.
enum TLLogLevel : int {
  TLLogLevelVerbose = 2,
  TLLogLevelDebug = 3,
  TLLogLevelInfo = 4,
  TLLogLevelWarning = 5,
  TLLogLevelError = 6,
  TLLogLevelAssert = 7,
  TLLogLevelNone = 99
};

// Builds a message's text; called only when a handler decides to print it.
using TLLogMessageProvider = std::function<std::string()>;
// Receives every message: the text builder, level, tag, source file, function ("Class::method")
// and line.
using TLLogHandler =
    std::function<void(const TLLogMessageProvider& message, TLLogLevel level, const std::string& tag,
                       const char* file, const char* function, unsigned line)>;

// The telemetry SDK's diagnostic log: one entry point with a replaceable handler. The default
// handler prints messages at or above the current level through platform::logLine as
// "[tag] LEVEL: function/line message".
class TLLogger {
 public:
  // Hands the message to the current handler (no level test here). `function` may be the
  // compiler's full signature; handlers receive it shortened to "Class::method".
  static void logMessage(const TLLogMessageProvider& message, TLLogLevel level, std::string_view tag,
                         const char* file, const char* function, unsigned line);

  static TLLogLevel currentLogLevel();
  // Marks the level as chosen by the user.
  static void setCurrentLogLevel(TLLogLevel level);
  // Replaces the handler (an empty function silences the log) and marks the level as chosen.
  static void setLogHandler(TLLogHandler handler);
  // Puts the default handler back (for tests and for the SDK's reset).
  static void resetLogHandler();
  static bool isUserDefinedLogLevel();
  static void setIsUserDefinedLogLevel(bool value);

  // The name printed for a level ("VERBOSE" ... "ASSERT"); null for TLLogLevelNone and unknown
  // levels.
  static const char* levelName(TLLogLevel level);
  // "void TLUtility::foo(int)" → "TLUtility::foo".
  static std::string shortFunctionName(const char* function);

  // True when a message at `level` would reach a handler that may print it: always with a custom
  // handler, never without one, and by level with the default handler. Lets callers skip building
  // the text builder at all for filtered messages.
  static bool isEnabled(TLLogLevel level) {
    switch (handlerKind_.load(std::memory_order_relaxed)) {
      case kDefaultHandler:
        return level != TLLogLevelNone && level >= level_.load(std::memory_order_relaxed);
      case kCustomHandler:
        return true;
      default:
        return false;
    }
  }

 private:
  enum HandlerKind : int { kDefaultHandler, kCustomHandler, kNoHandler };
  static std::atomic<int> level_;
  static std::atomic<int> handlerKind_;
};

#define TL_LOG_MESSAGE(level, tag, ...)                                                                     \
  do {                                                                                                      \
    if (TLLogger::isEnabled(level)) {                                                                       \
      TLLogger::logMessage([&]() -> std::string { return fmt::format(__VA_ARGS__); }, level, tag, __FILE__, \
                           __PRETTY_FUNCTION__, __LINE__);                                                  \
    }                                                                                                       \
  } while (0)

// The SDK's log calls: a tag, then an fmt format string and its arguments. The text is formatted
// only when the message is printed.
#define TLLogVerbose(tag, ...) TL_LOG_MESSAGE(TLLogLevelVerbose, tag, __VA_ARGS__)
#define TLLogDebug(tag, ...) TL_LOG_MESSAGE(TLLogLevelDebug, tag, __VA_ARGS__)
#define TLLogInfo(tag, ...) TL_LOG_MESSAGE(TLLogLevelInfo, tag, __VA_ARGS__)
#define TLLogWarning(tag, ...) TL_LOG_MESSAGE(TLLogLevelWarning, tag, __VA_ARGS__)
#define TLLogError(tag, ...) TL_LOG_MESSAGE(TLLogLevelError, tag, __VA_ARGS__)
#define TLLogAssert(tag, ...) TL_LOG_MESSAGE(TLLogLevelAssert, tag, __VA_ARGS__)

// The tag of the core's and the pipeline's messages.
inline constexpr const char* kTLLogTag = "Telemetry";
