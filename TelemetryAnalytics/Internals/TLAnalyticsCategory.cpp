#include "TelemetryAnalytics/Internals/TLAnalyticsCategory.h"

#include <mutex>

#include "TelemetryAnalytics/TLAnalytics.h"
#include "platform/ViewAppearanceHook.h"

namespace {
std::mutex missedMutex;
std::optional<std::string> missedPage;
constexpr std::string_view kSuffix = "ViewController";
}  // namespace

void TLAnalyticsCategory::activateCategory() {
  static std::once_flag once;
  std::call_once(once, [] { platform::ViewAppearanceHook::install(&TLAnalyticsCategory::viewWillAppear); });
}

std::optional<std::string> TLAnalyticsCategory::missedPageViewName() {
  std::lock_guard lock(missedMutex);
  return missedPage;
}

void TLAnalyticsCategory::setMissedPageViewName(std::optional<std::string> name) {
  std::lock_guard lock(missedMutex);
  missedPage = std::move(name);
}

std::optional<std::string> TLAnalyticsCategory::pageNameForClassName(const std::string& className) {
  for (const char* excluded : {"NSTabViewController", "NSSplitViewController", "NSPageController"}) {
    if (className == excluded) return std::nullopt;
  }
  std::string name = className;
  if (auto separator = name.rfind("::"); separator != std::string::npos) name = name.substr(separator + 2);
  if (name.size() > kSuffix.size() &&
      name.compare(name.size() - kSuffix.size(), kSuffix.size(), kSuffix) == 0) {
    name.resize(name.size() - kSuffix.size());
  }
  return name;
}

void TLAnalyticsCategory::viewWillAppear(const std::string& className) {
  if (!TLAnalytics::isAutoPageTrackingEnabled()) return;
  auto name = pageNameForClassName(className);
  if (!name) return;
  if (TLAnalytics::sharedInstance()->isAvailable()) {
    setMissedPageViewName(std::nullopt);
    TLAnalytics::trackPage(*name);
  } else {
    setMissedPageViewName(*name);
  }
}
