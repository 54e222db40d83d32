#include "Telemetry/Internals/Util/TLLogger.h"

#include <memory>
#include <mutex>

#include "platform/Log.h"

std::atomic<int> TLLogger::level_{TLLogLevelAssert};
std::atomic<int> TLLogger::handlerKind_{TLLogger::kDefaultHandler};

namespace {

void defaultHandler(const TLLogMessageProvider& message, TLLogLevel level, const std::string& tag,
                    const char*, const char* function, unsigned line) {
  if (!message || level < TLLogger::currentLogLevel() || level == TLLogLevelNone) return;
  const char* name = TLLogger::levelName(level);
  platform::logLine(fmt::format("[{}] {}: {}/{} {}", tag, name ? name : "(null)", function ? function : "",
                                line, message()));
}

// The handler is swapped whole under the mutex; a log call copies the pointer under it, so a
// handler being replaced finishes its call on the old copy. The pointer is never destroyed, so that a
// worker logging while the process exits does not read it after static destruction.
std::mutex gHandlerMutex;
std::shared_ptr<const TLLogHandler>& gHandler =
    *new std::shared_ptr<const TLLogHandler>(std::make_shared<const TLLogHandler>(defaultHandler));
std::atomic<bool> gUserDefined{false};

}  // namespace

void TLLogger::logMessage(const TLLogMessageProvider& message, TLLogLevel level, std::string_view tag,
                          const char* file, const char* function, unsigned line) {
  std::shared_ptr<const TLLogHandler> handler;
  {
    std::lock_guard lock(gHandlerMutex);
    handler = gHandler;
  }
  if (!handler || !*handler) return;
  std::string shortName = shortFunctionName(function);
  (*handler)(message, level, std::string(tag), file, shortName.c_str(), line);
}

TLLogLevel TLLogger::currentLogLevel() {
  return static_cast<TLLogLevel>(level_.load(std::memory_order_relaxed));
}

void TLLogger::setCurrentLogLevel(TLLogLevel level) {
  std::lock_guard lock(gHandlerMutex);
  gUserDefined = true;
  level_.store(level, std::memory_order_relaxed);
}

void TLLogger::setLogHandler(TLLogHandler handler) {
  std::lock_guard lock(gHandlerMutex);
  gUserDefined = true;
  handlerKind_.store(handler ? kCustomHandler : kNoHandler, std::memory_order_relaxed);
  gHandler = handler ? std::make_shared<const TLLogHandler>(std::move(handler)) : nullptr;
}

void TLLogger::resetLogHandler() {
  std::lock_guard lock(gHandlerMutex);
  handlerKind_.store(kDefaultHandler, std::memory_order_relaxed);
  gHandler = std::make_shared<const TLLogHandler>(defaultHandler);
}

bool TLLogger::isUserDefinedLogLevel() { return gUserDefined.load(); }

void TLLogger::setIsUserDefinedLogLevel(bool value) { gUserDefined = value; }

const char* TLLogger::levelName(TLLogLevel level) {
  switch (level) {
    case TLLogLevelVerbose:
      return "VERBOSE";
    case TLLogLevelDebug:
      return "DEBUG";
    case TLLogLevelInfo:
      return "INFO";
    case TLLogLevelWarning:
      return "WARNING";
    case TLLogLevelError:
      return "ERROR";
    case TLLogLevelAssert:
      return "ASSERT";
    default:
      return nullptr;
  }
}

std::string TLLogger::shortFunctionName(const char* function) {
  if (!function) return {};
  std::string_view text(function);
  // Cut the parameter list: the first "(" outside template brackets.
  int angle = 0;
  std::size_t end = text.size();
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '<') ++angle;
    if (c == '>' && angle > 0) --angle;
    if (c == '(' && angle == 0) {
      end = i;
      break;
    }
  }
  text = text.substr(0, end);
  // Drop the return type and qualifiers: the last blank outside template brackets.
  angle = 0;
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '<') ++angle;
    if (c == '>' && angle > 0) --angle;
    if (c == ' ' && angle == 0) start = i + 1;
  }
  text = text.substr(start);
  while (!text.empty() && (text.front() == '*' || text.front() == '&')) text.remove_prefix(1);
  return std::string(text);
}
