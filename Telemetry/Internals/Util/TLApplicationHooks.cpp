#include "Telemetry/Internals/Util/TLApplicationHooks.h"

#include <mutex>

namespace {
std::mutex gMutex;
TLApplicationHooks gHooks;
std::optional<std::pair<int, int>> gScreenSize;
}  // namespace

void TLApplicationHooks::install(TLApplicationHooks hooks) {
  std::lock_guard lock(gMutex);
  gHooks = std::move(hooks);
}

TLApplicationHooks TLApplicationHooks::installed() {
  std::lock_guard lock(gMutex);
  return gHooks;
}

void TLApplicationHooks::setScreenSize(int heightPixels, int widthPixels) {
  std::lock_guard lock(gMutex);
  gScreenSize = std::make_pair(heightPixels, widthPixels);
}

void TLApplicationHooks::clearScreenSize() {
  std::lock_guard lock(gMutex);
  gScreenSize.reset();
}

std::optional<std::pair<int, int>> TLApplicationHooks::screenSize() {
  std::lock_guard lock(gMutex);
  return gScreenSize;
}
