#include "shell/QVUserDefaults.h"

#include <mutex>

#include "platform/Log.h"

namespace {

std::mutex sharedMutex;
QVUserDefaults::Pointer sharedDefaults;

}  // namespace

QVUserDefaults::Pointer QVUserDefaults::standardUserDefaults() {
  std::lock_guard lock(sharedMutex);
  if (!sharedDefaults) {
    sharedDefaults =
        make(platform::SettingsStore::standardUserDefaults(), QVAutostartEntry::applicationEntry());
  }
  return sharedDefaults;
}

void QVUserDefaults::setStandardUserDefaults(Pointer defaults) {
  std::lock_guard lock(sharedMutex);
  sharedDefaults = std::move(defaults);
}

QVUserDefaults::Pointer QVUserDefaults::make(std::shared_ptr<platform::SettingsStore> store,
                                             std::shared_ptr<QVLoginItem> loginItem) {
  return Pointer(new QVUserDefaults(std::move(store), std::move(loginItem)));
}

platform::PropertyList::Dictionary QVUserDefaults::setupDefaults() {
  return {{QVThemeKey, std::int64_t(2)},
          {QVIsDockedKey, false},
          {QVShowDockIconKey, true},
          {QVFirstLaunchKey, true},
          {QVMenuBarShowIconKey, true},
          {QVWindowSizeKey, std::int64_t(1)},
          {QVServerEnabledKey, QVServerSettings::kDefaultServerEnabled},
          {QVServerPortKey, QVServerSettings::kDefaultServerPort}};
}

QVUserDefaults::QVUserDefaults(std::shared_ptr<platform::SettingsStore> store,
                               std::shared_ptr<QVLoginItem> loginItem)
    : store_(std::move(store)), loginItem_(std::move(loginItem)) {
  store_->registerDefaults(setupDefaults());
  // A stored "on" adds the login item again at every launch, so that it starts the program where
  // it is now.
  if (store_->boolForKey(QVStartAtLoginKey)) setStartAtLogin(true);
}

void QVUserDefaults::setBool(bool value, const char* key) {
  store_->setBool(value, key);
  store_->synchronize();
}

void QVUserDefaults::setInteger(std::int64_t value, const char* key) {
  store_->setInteger(value, key);
  store_->synchronize();
}

std::int64_t QVUserDefaults::theme() const { return store_->integerForKey(QVThemeKey); }
void QVUserDefaults::setTheme(std::int64_t theme) { setInteger(theme, QVThemeKey); }
bool QVUserDefaults::isDocked() const { return store_->boolForKey(QVIsDockedKey); }
void QVUserDefaults::setIsDocked(bool docked) { setBool(docked, QVIsDockedKey); }
bool QVUserDefaults::showDockIcon() const { return store_->boolForKey(QVShowDockIconKey); }
void QVUserDefaults::setShowDockIcon(bool show) { setBool(show, QVShowDockIconKey); }
bool QVUserDefaults::firstLaunch() const { return store_->boolForKey(QVFirstLaunchKey); }
void QVUserDefaults::setFirstLaunch(bool first) { setBool(first, QVFirstLaunchKey); }
bool QVUserDefaults::menuBarShowIcon() const { return store_->boolForKey(QVMenuBarShowIconKey); }
void QVUserDefaults::setMenuBarShowIcon(bool show) { setBool(show, QVMenuBarShowIconKey); }
std::int64_t QVUserDefaults::windowSize() const { return store_->integerForKey(QVWindowSizeKey); }
void QVUserDefaults::setWindowSize(std::int64_t size) { setInteger(size, QVWindowSizeKey); }
bool QVUserDefaults::serverEnabled() const { return QVServerSettings::serverEnabled(*store_); }
void QVUserDefaults::setServerEnabled(bool enabled) { QVServerSettings::setServerEnabled(*store_, enabled); }
std::int64_t QVUserDefaults::serverPort() const { return QVServerSettings::serverPort(*store_); }
void QVUserDefaults::setServerPort(std::int64_t port) { QVServerSettings::setServerPort(*store_, port); }
bool QVUserDefaults::hideWindowAtStartup() const { return store_->boolForKey(QVHideWindowAtStartupKey); }
void QVUserDefaults::setHideWindowAtStartup(bool hide) { setBool(hide, QVHideWindowAtStartupKey); }
bool QVUserDefaults::isBackgroundApp() const { return store_->boolForKey(QVIsBackgroundAppKey); }
void QVUserDefaults::setIsBackgroundApp(bool background) { setBool(background, QVIsBackgroundAppKey); }
bool QVUserDefaults::shouldKeepAbove() const { return store_->boolForKey(QVShouldKeepAboveKey); }
void QVUserDefaults::setShouldKeepAbove(bool above) { setBool(above, QVShouldKeepAboveKey); }

std::optional<std::string> QVUserDefaults::undockedFrame() const {
  // Only a string is a frame; a value of another kind reads as none.
  auto value = store_->objectForKey(QVUndockedFrameKey);
  if (!value || !value->asString()) return std::nullopt;
  return *value->asString();
}

void QVUserDefaults::setUndockedFrame(const std::optional<std::string>& frame) {
  store_->setObject(
      frame ? std::optional<platform::PropertyList>(platform::PropertyList(*frame)) : std::nullopt,
      QVUndockedFrameKey);
  store_->synchronize();
}

bool QVUserDefaults::loadedDefaults() const { return QVEngineSettings::loadedDefaults(*store_); }
void QVUserDefaults::setLoadedDefaults(bool loaded) { QVEngineSettings::setLoadedDefaults(*store_, loaded); }

_KeyCombo QVUserDefaults::hotKeyCombo() const {
  return _KeyCombo{static_cast<std::uint64_t>(store_->integerForKey(QVHotKeyModifierKey)),
                   store_->integerForKey(QVHotKeyCodeKey)};
}

void QVUserDefaults::setHotKeyCombo(_KeyCombo combo) {
  // The modifier goes last: observers of the combination watch it, so they see both halves.
  store_->setInteger(combo.code, QVHotKeyCodeKey);
  store_->setInteger(static_cast<std::int64_t>(combo.flags), QVHotKeyModifierKey);
  store_->synchronize();
}

std::vector<nlohmann::json> QVUserDefaults::seenNotificationIDs() const {
  return QVReadSeenNotificationIDs(*store_).value_or(std::vector<nlohmann::json>{});
}

void QVUserDefaults::setSeenNotificationIDs(const std::vector<nlohmann::json>& ids) {
  QVWriteSeenNotificationIDs(*store_, ids);
}

bool QVUserDefaults::setStartAtLogin(bool start, platform::Error* error) {
  if (start == startAtLogin_) return true;
  platform::Error failure;
  if (loginItem_ && !loginItem_->setEnabled(start, &failure)) {
    platform::log("DEBUG: Could not {} {} to the login items", start ? "add" : "remove",
                  loginItem_->identifier());
    // The stored value keeps saying what the login item does; writing it again tells observers
    // (a switch that was flipped) to show it.
    setBool(startAtLogin_, QVStartAtLoginKey);
    return platform::fail(error, std::move(failure));
  }
  startAtLogin_ = start;
  setBool(start, QVStartAtLoginKey);
  return true;
}

platform::SettingsStore::Observation QVUserDefaults::addObserverForKey(const std::string& property,
                                                                       Observer observer) {
  std::string key = property == QVHotKeyComboProperty ? std::string(QVHotKeyModifierKey) : property;
  return store_->addObserverForKey(
      std::move(key), [property, observer = std::move(observer)](const std::string&, const auto&,
                                                                 const auto&) { observer(property); });
}
