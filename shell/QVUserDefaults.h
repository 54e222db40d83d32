#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "engine/QVEngineSettings.h"
#include "engine/QVSeenNotificationIDs.h"
#include "httpserver/dashboard/QVServerSettings.h"
#include "platform/Error.h"
#include "platform/KeyCombo.h"
#include "platform/SettingsStore.h"
#include "shell/QVLoginItem.h"

// The settings keys of the application. Those the engine and web sharing read themselves are theirs;
// the typed settings object below uses the same constants.
inline constexpr const char* QVThemeKey = "theme";
inline constexpr const char* QVIsDockedKey = "isDocked";
inline constexpr const char* QVShowDockIconKey = "showDockIcon";
inline constexpr const char* QVFirstLaunchKey = "firstLaunch";
inline constexpr const char* QVMenuBarShowIconKey = "menuBarShowIcon";
inline constexpr const char* QVWindowSizeKey = "windowSize";
inline constexpr const char* QVServerEnabledKey = QVServerSettings::kServerEnabledKey;
inline constexpr const char* QVServerPortKey = QVServerSettings::kServerPortKey;
inline constexpr const char* QVHideWindowAtStartupKey = "hideWindowAtStartup";
inline constexpr const char* QVIsBackgroundAppKey = "isBackgroundApp";
inline constexpr const char* QVShouldKeepAboveKey = "shouldKeepAbove";
inline constexpr const char* QVUndockedFrameKey = "undockedFrame";
inline constexpr const char* QVLoadedDefaultsKey = QVEngineSettings::kLoadedDefaultsKey;
inline constexpr const char* QVStartAtLoginKey = "startAtLogin";
inline constexpr const char* QVHotKeyModifierKey = "hotKeyModifier";
inline constexpr const char* QVHotKeyCodeKey = "hotKeyCode";
inline constexpr const char* QVSeenNotificationIDsPropertyKey = QVSeenNotificationIDsKey;
// Observed as one property, written as the two keys above.
inline constexpr const char* QVHotKeyComboProperty = "hotKeyCombo";

// The application's typed settings: one property per key over one settings store, with the defaults
// registered once when the object is made. Every getter reads the store afresh and every setter
// writes it to disk at once, so the engine and web sharing, which read their keys through their own
// small places (QVEngineSettings, QVServerSettings, the seen notification ids), always agree with it.
// Meant for the main thread; the store itself is safe on any thread.
class QVUserDefaults {
 public:
  using Pointer = std::shared_ptr<QVUserDefaults>;
  using Observer = std::function<void(const std::string& property)>;

  // The application's settings over the standard store, with the autostart entry as login item;
  // made on first call.
  static Pointer standardUserDefaults();
  // Replaces the application's settings object (tests; nullptr makes the next call build it again).
  static void setStandardUserDefaults(Pointer defaults);
  // Settings over a given store and login item (the login item may be null: start at login then
  // only stores its value).
  static Pointer make(std::shared_ptr<platform::SettingsStore> store, std::shared_ptr<QVLoginItem> loginItem);

  // The defaults every fresh store reads, by key.
  static platform::PropertyList::Dictionary setupDefaults();

  platform::SettingsStore& userDefaults() const { return *store_; }

  std::int64_t theme() const;  // 0 light, 1 dark, 2 the desktop's appearance
  void setTheme(std::int64_t theme);
  bool isDocked() const;
  void setIsDocked(bool docked);
  bool showDockIcon() const;
  void setShowDockIcon(bool show);
  bool firstLaunch() const;
  void setFirstLaunch(bool first);
  bool menuBarShowIcon() const;
  void setMenuBarShowIcon(bool show);
  std::int64_t windowSize() const;
  void setWindowSize(std::int64_t size);
  bool serverEnabled() const;
  void setServerEnabled(bool enabled);
  std::int64_t serverPort() const;
  void setServerPort(std::int64_t port);
  bool hideWindowAtStartup() const;
  void setHideWindowAtStartup(bool hide);
  bool isBackgroundApp() const;
  void setIsBackgroundApp(bool background);
  bool shouldKeepAbove() const;
  void setShouldKeepAbove(bool above);
  // The floating window's saved frame; nullopt removes the key.
  std::optional<std::string> undockedFrame() const;
  void setUndockedFrame(const std::optional<std::string>& frame);
  bool loadedDefaults() const;
  void setLoadedDefaults(bool loaded);

  _KeyCombo hotKeyCombo() const;
  void setHotKeyCombo(_KeyCombo combo);

  // Ids of the module notifications already delivered, oldest first (empty when none is stored).
  std::vector<nlohmann::json> seenNotificationIDs() const;
  void setSeenNotificationIDs(const std::vector<nlohmann::json>& ids);

  // Whether the application starts when the user logs in. Changing it adds or removes the login
  // item; when that fails the stored value goes back to what it was, a line is logged, and false is
  // answered with the error. Setting the current value does nothing and answers true.
  bool startAtLogin() const { return startAtLogin_; }
  bool setStartAtLogin(bool start, platform::Error* error = nullptr);

  // Calls the observer (on the thread that wrote) after each write of the property, named as above
  // ("hotKeyCombo" for the hot key), also when it is written through the engine's own places.
  [[nodiscard]] platform::SettingsStore::Observation addObserverForKey(const std::string& property,
                                                                       Observer observer);

 private:
  QVUserDefaults(std::shared_ptr<platform::SettingsStore> store, std::shared_ptr<QVLoginItem> loginItem);

  void setBool(bool value, const char* key);
  void setInteger(std::int64_t value, const char* key);

  std::shared_ptr<platform::SettingsStore> store_;
  std::shared_ptr<QVLoginItem> loginItem_;
  bool startAtLogin_ = false;
};
