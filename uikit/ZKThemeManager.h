#pragma once

#include <QtCore/QHash>
#include <QtCore/QString>
#include <QtCore/QVariant>
#include <QtGui/QColor>
#include <QtGui/QFont>
#include <QtGui/QImage>
#include <optional>
#include <vector>

class ZKTheme;

// Posted on the default notification centre after a theme change, with the manager as sender and
// object (a ZKThemeManager*); observers run synchronously, before changeTheme returns.
inline constexpr const char* ZKThemeManagerNotificationThemeDidUpdate =
    "ZKThemeManagerNotificationThemeDidUpdate";

// The current theme and typed lookups of its named colours, fonts and images. Found values are cached
// by key (as written) until the next change; misses are asked again every time. Main thread only.
class ZKThemeManager {
 public:
  // The application's manager.
  static ZKThemeManager& sharedManager();
  // A manager of its own (tests); it posts the same notification.
  ZKThemeManager();

  // The class name last given to changeTheme (null until the first call).
  const QString& currentThemeName() const { return currentThemeName_; }
  const std::vector<ZKTheme*>& registeredThemes() const { return registeredThemes_; }
  // The theme that answers lookups (none until a theme class was found).
  ZKTheme* currentTheme() const { return currentTheme_; }

  void registerTheme(ZKTheme* theme);
  // Makes the theme class of that name current. The current name: nothing happens, true. Otherwise the
  // name becomes current, its theme too when such a class exists (false when not), the cache is
  // emptied and the notification posted.
  bool changeTheme(const QString& themeClassName);

  // The current theme's value for the key (an invalid variant when none).
  QVariant objectForKey(const QString& key);
  // The value when it is of that type, else an invalid variant.
  QVariant objectForKey(const QString& key, QMetaType requiredType);
  // Typed lookups: an invalid colour, no font, a null image, an empty list or map when the theme has
  // no value of that kind for the key.
  QColor colorForKey(const QString& key);
  std::optional<QFont> fontForKey(const QString& key);
  QImage imageForKey(const QString& key);
  std::optional<QVariantList> arrayForKey(const QString& key);
  std::optional<QVariantMap> dictionaryForKey(const QString& key);

  // Keys with a cached value now.
  qsizetype cachedObjectCount() const { return objectCache_.size(); }

 private:
  QString currentThemeName_;
  std::vector<ZKTheme*> registeredThemes_;
  ZKTheme* currentTheme_ = nullptr;
  QHash<QString, QVariant> objectCache_;
};
