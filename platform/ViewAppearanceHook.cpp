#include "platform/ViewAppearanceHook.h"

#include <memory>
#include <mutex>

namespace platform {

namespace {
std::mutex hookMutex;
std::shared_ptr<const ViewAppearanceHook::Handler> installedHandler;
}  // namespace

void ViewAppearanceHook::install(Handler handler) {
  std::lock_guard lock(hookMutex);
  installedHandler = handler ? std::make_shared<const Handler>(std::move(handler)) : nullptr;
}

bool ViewAppearanceHook::isInstalled() {
  std::lock_guard lock(hookMutex);
  return installedHandler != nullptr;
}

void ViewAppearanceHook::viewWillAppear(const std::string& className) {
  std::shared_ptr<const Handler> handler;
  {
    std::lock_guard lock(hookMutex);
    handler = installedHandler;
  }
  if (handler) (*handler)(className);
}

}  // namespace platform
