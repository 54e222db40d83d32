#include "platform/Exception.h"

#include <execinfo.h>

#include <atomic>
#include <cstdlib>
#include <mutex>

namespace platform {

namespace {

std::atomic<UncaughtExceptionHandler> g_handler{nullptr};
std::terminate_handler g_previousTerminate = nullptr;

void terminateWithHandler() {
  if (UncaughtExceptionHandler handler = g_handler.load(); handler != nullptr) {
    if (std::exception_ptr current = std::current_exception()) {
      try {
        std::rethrow_exception(current);
      } catch (const Exception& exception) {
        handler(exception);
      } catch (...) {
      }
    }
  }
  if (g_previousTerminate != nullptr) g_previousTerminate();
  std::abort();
}

}  // namespace

Exception::Exception(std::string name, std::string reason)
    : name_(std::move(name)), reason_(std::move(reason)) {
  void* frames[128];
  int count = backtrace(frames, 128);
  // The first entry is this constructor itself.
  for (int i = 1; i < count; ++i) returnAddresses_.push_back(reinterpret_cast<std::uint64_t>(frames[i]));
}

void setUncaughtExceptionHandler(UncaughtExceptionHandler handler) {
  static std::once_flag installed;
  g_handler.store(handler);
  if (handler != nullptr) {
    std::call_once(installed, [] { g_previousTerminate = std::set_terminate(terminateWithHandler); });
  }
}

UncaughtExceptionHandler uncaughtExceptionHandler() { return g_handler.load(); }

}  // namespace platform
