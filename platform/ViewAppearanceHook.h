#pragma once

#include <functional>
#include <string>

namespace platform {

// Where the desktop's view-controller base reports each view that is about to appear, by the
// controller's class name ("ns::HomeViewController"). Nothing listens until a component installs a
// handler (the analytics service's automatic page tracking); the desktop needs no knowledge of who.
class ViewAppearanceHook {
 public:
  using Handler = std::function<void(const std::string& className)>;

  static void install(Handler handler);
  static bool isInstalled();
  // Called on the main thread by the view-controller base; does nothing without a handler.
  static void viewWillAppear(const std::string& className);
};

}  // namespace platform
