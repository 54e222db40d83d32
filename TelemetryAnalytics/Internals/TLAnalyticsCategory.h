#pragma once

#include <optional>
#include <string>

// Automatic page tracking of view controllers: activateCategory() installs the page hook once; each
// view about to appear then becomes a page named after its class (the part after the last "::",
// less a "ViewController" suffix) when the analytics service tracks pages automatically. A page seen
// while the service is unavailable is kept as the missed page, tracked once the service is enabled.
class TLAnalyticsCategory {
 public:
  static void activateCategory();
  static std::optional<std::string> missedPageViewName();
  static void setMissedPageViewName(std::optional<std::string> name);
  // The page name for a class; nothing for the container classes that are never pages.
  static std::optional<std::string> pageNameForClassName(const std::string& className);
  // The hook's work for one appearing view.
  static void viewWillAppear(const std::string& className);
};
