#include "platform/Log.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string>

namespace platform {

namespace {
std::mutex gSinkMutex;
LogSink gSink = nullptr;
void* gSinkContext = nullptr;

// -1 until the environment has been read, then 0 or 1.
std::atomic<int> gDebugLogging{-1};

const char* processName() {
  return ::program_invocation_short_name ? ::program_invocation_short_name : "quorvane";
}
}  // namespace

void setLogSink(LogSink sink, void* context) {
  std::lock_guard lock(gSinkMutex);
  gSink = sink;
  gSinkContext = context;
}

void writeToStandardError(std::string_view bytes) {
  const char* p = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    ssize_t n = ::write(STDERR_FILENO, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

bool debugLogging() {
  int state = gDebugLogging.load();
  if (state < 0) {
    const char* value = std::getenv("QV_DEBUG_LOG");
    state = value && *value && std::string_view(value) != "0" ? 1 : 0;
    // A setDebugLogging meanwhile wins over the environment.
    int expected = -1;
    if (!gDebugLogging.compare_exchange_strong(expected, state)) state = expected;
  }
  return state == 1;
}

void setDebugLogging(bool enabled) { gDebugLogging.store(enabled ? 1 : 0); }

void debugLogLine(std::string_view text) {
  if (debugLogging()) {
    logLine(text);
    return;
  }
  std::lock_guard lock(gSinkMutex);
  if (gSink) gSink(text, gSinkContext);
}

void logLine(std::string_view text) {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  tm parts{};
  localtime_r(&ts.tv_sec, &parts);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &parts);
  std::string line = fmt::format("{}.{:03d} {}[{}:{}] {}\n", stamp, ts.tv_nsec / 1000000, processName(),
                                 getpid(), static_cast<long>(syscall(SYS_gettid)), text);
  writeToStandardError(line);
  std::lock_guard lock(gSinkMutex);
  if (gSink) gSink(text, gSinkContext);
}

}  // namespace platform
