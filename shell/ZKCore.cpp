#include "shell/ZKCore.h"

namespace {

ZKCore::Hooks& hooks() {
  static ZKCore::Hooks installed;
  return installed;
}

}  // namespace

void ZKCore::setHooks(Hooks newHooks) { hooks() = std::move(newHooks); }

bool ZKCore::canShowMainWindow() { return hooks().canShowMainWindow ? hooks().canShowMainWindow() : true; }

void ZKCore::showWindow() {
  if (hooks().showWindow) hooks().showWindow();
}

void ZKCore::showAnyVisibleWindows() {
  if (hooks().showAnyVisibleWindows) hooks().showAnyVisibleWindows();
}

ZKCHappinessManager& ZKCHappinessManager::sharedInstance() {
  static ZKCHappinessManager manager;
  return manager;
}
