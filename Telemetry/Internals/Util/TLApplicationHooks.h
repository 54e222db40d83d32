#pragma once

#include <functional>
#include <optional>
#include <string>
#include <utility>

// What the telemetry SDK asks of the application, installed by the desktop layer. The core has no
// GUI of its own, so without hooks it answers as a headless program would.
struct TLApplicationHooks {
  // Whether the application is hidden; called on the main thread only.
  std::function<bool()> isApplicationHidden;
  // Opens the URL with the desktop; called on the main thread, calls back with the outcome.
  std::function<void(const std::string& url, std::function<void(bool)> completion)> openURL;

  static void install(TLApplicationHooks hooks);
  static TLApplicationHooks installed();

  // The main screen's size in pixels, height first; set by the desktop on the GUI thread whenever
  // it changes, read from any thread. nullopt before it is set (and after clearScreenSize()).
  static void setScreenSize(int heightPixels, int widthPixels);
  static void clearScreenSize();
  static std::optional<std::pair<int, int>> screenSize();
};
