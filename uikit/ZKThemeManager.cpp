#include "uikit/ZKThemeManager.h"

#include "platform/NotificationCenter.h"
#include "uikit/ZKTheme.h"

ZKThemeManager& ZKThemeManager::sharedManager() {
  static ZKThemeManager* manager = new ZKThemeManager;
  return *manager;
}

ZKThemeManager::ZKThemeManager() = default;

void ZKThemeManager::registerTheme(ZKTheme* theme) {
  if (theme) registeredThemes_.push_back(theme);
}

bool ZKThemeManager::changeTheme(const QString& themeClassName) {
  // A null name equals a null current name; an empty one does not.
  if (themeClassName.isNull() == currentThemeName_.isNull() && themeClassName == currentThemeName_)
    return true;
  currentThemeName_ = themeClassName;
  ZKTheme* theme = ZKTheme::sharedTheme(themeClassName);
  if (theme) currentTheme_ = theme;
  objectCache_.clear();
  platform::NotificationCenter::defaultCenter().postNotificationName(ZKThemeManagerNotificationThemeDidUpdate,
                                                                     this, this);
  return theme != nullptr;
}

QVariant ZKThemeManager::objectForKey(const QString& key) {
  if (const auto cached = objectCache_.constFind(key); cached != objectCache_.constEnd()) return *cached;
  if (!currentTheme_) return QVariant();
  QVariant value = currentTheme_->valueForKey(key);
  if (value.isValid()) objectCache_.insert(key, value);
  return value;
}

QVariant ZKThemeManager::objectForKey(const QString& key, QMetaType requiredType) {
  QVariant value = objectForKey(key);
  return value.metaType() == requiredType ? value : QVariant();
}

QColor ZKThemeManager::colorForKey(const QString& key) {
  return objectForKey(key, QMetaType::fromType<QColor>()).value<QColor>();
}

std::optional<QFont> ZKThemeManager::fontForKey(const QString& key) {
  const QVariant value = objectForKey(key, QMetaType::fromType<QFont>());
  if (!value.isValid()) return std::nullopt;
  return value.value<QFont>();
}

QImage ZKThemeManager::imageForKey(const QString& key) {
  return objectForKey(key, QMetaType::fromType<QImage>()).value<QImage>();
}

std::optional<QVariantList> ZKThemeManager::arrayForKey(const QString& key) {
  const QVariant value = objectForKey(key, QMetaType::fromType<QVariantList>());
  if (!value.isValid()) return std::nullopt;
  return value.toList();
}

std::optional<QVariantMap> ZKThemeManager::dictionaryForKey(const QString& key) {
  const QVariant value = objectForKey(key, QMetaType::fromType<QVariantMap>());
  if (!value.isValid()) return std::nullopt;
  return value.toMap();
}
