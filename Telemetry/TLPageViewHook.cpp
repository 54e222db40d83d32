#include "Telemetry/TLPageViewHook.h"

#include <memory>
#include <mutex>

namespace {
std::mutex hookMutex;
std::shared_ptr<const TLPageViewHook::Handler> installedHandler;
}  // namespace

void TLPageViewHook::install(Handler handler) {
  std::lock_guard lock(hookMutex);
  installedHandler = handler ? std::make_shared<const Handler>(std::move(handler)) : nullptr;
}

bool TLPageViewHook::isInstalled() {
  std::lock_guard lock(hookMutex);
  return installedHandler != nullptr;
}

void TLPageViewHook::viewWillAppear(const std::string& className) {
  std::shared_ptr<const Handler> handler;
  {
    std::lock_guard lock(hookMutex);
    handler = installedHandler;
  }
  if (handler) (*handler)(className);
}
