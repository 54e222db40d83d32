#include "TelemetryCrashes/Internals/Util/TLCrashesUtil.h"

#include <atomic>
#include <mutex>

#include "Telemetry/Internals/Util/TLUtility.h"

namespace {
constexpr const char* kCrashesDir = "crashes";
constexpr const char* kLogBufferDir = "crasheslogbuffer";
constexpr const char* kWrapperExceptionsDir = "crasheswrapperexceptions";

std::mutex g_crashesUtilMutex;
bool g_created[3] = {false, false, false};

std::string directory(int index, const char* component) {
  std::lock_guard lock(g_crashesUtilMutex);
  if (!g_created[index]) {
    TLUtility::createDirectoryForPathComponent(component);
    g_created[index] = true;
  }
  return component;
}
}  // namespace

std::string TLCrashesUtil::crashesDir() { return directory(0, kCrashesDir); }
std::string TLCrashesUtil::logBufferDir() { return directory(1, kLogBufferDir); }
std::string TLCrashesUtil::wrapperExceptionsDir() { return directory(2, kWrapperExceptionsDir); }

void TLCrashesUtil::resetDirectory() {
  std::lock_guard lock(g_crashesUtilMutex);
  for (bool& created : g_created) created = false;
}
