#pragma once

#include <functional>
#include <string>

// Where the desktop's view-controller base reports each view that is about to appear, by the
// controller's C++ class name. Nothing listens until a component installs a handler; the desktop
// needs no knowledge of who does.
class TLPageViewHook {
 public:
  using Handler = std::function<void(const std::string& className)>;

  static void install(Handler handler);
  static bool isInstalled();
  // Called on the main thread by the view-controller base; does nothing without a handler.
  static void viewWillAppear(const std::string& className);
};
