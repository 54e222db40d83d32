#pragma once

#include <functional>

// The few calls the dockable window makes into the maker's in-house framework (welcome window and
// rating prompt). The application sets what they do; until it does, the main window may always be
// shown and the other calls do nothing.
class ZKCore {
 public:
  struct Hooks {
    std::function<bool()> canShowMainWindow;  // false while the framework's own window must come first
    std::function<void()> showWindow;         // shows the framework's window instead
    std::function<void()> showAnyVisibleWindows;
  };

  static void setHooks(Hooks hooks);

  static bool canShowMainWindow();
  static void showWindow();
  static void showAnyVisibleWindows();
};

// Whether the framework's rating prompt is on screen (the dashboard then stays when it loses focus).
class ZKCHappinessManager {
 public:
  static ZKCHappinessManager& sharedInstance();

  bool ratingWindowIsVisible() const { return ratingWindowIsVisible_; }
  void setRatingWindowIsVisible(bool visible) { ratingWindowIsVisible_ = visible; }

 private:
  bool ratingWindowIsVisible_ = false;
};
