#pragma once

#include <fmt/format.h>

#include <string_view>

namespace platform {

// Writes the bytes to standard error in as few writes as the system allows (one for a line), so
// lines from different threads stay whole.
void writeToStandardError(std::string_view bytes);

// Writes one line to standard error: date, process name, process and thread ids, then the text.
void logLine(std::string_view text);

// The diagnostic log: fmt formatting, one line per call.
template <typename... Args>
void log(fmt::format_string<Args...> format, Args&&... args) {
  logLine(fmt::format(format, std::forward<Args>(args)...));
}

// Detail for whoever works on the program (a folder made, what an import ended with), of no use to
// the person running it: handed to the log sink like every line, but written to standard error only
// while debug logging is on. It is on when the environment variable QV_DEBUG_LOG is set to anything
// but "" or "0" at the first debug line, or after setDebugLogging(true).
bool debugLogging();
void setDebugLogging(bool enabled);
void debugLogLine(std::string_view text);

template <typename... Args>
void logDebug(fmt::format_string<Args...> format, Args&&... args) {
  debugLogLine(fmt::format(format, std::forward<Args>(args)...));
}

// Lets tests see what was logged: while set, each line is also handed to the sink.
using LogSink = void (*)(std::string_view line, void* context);
void setLogSink(LogSink sink, void* context);

}  // namespace platform
