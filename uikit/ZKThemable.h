#pragma once

#include <QtCore/QString>
#include <QtGui/QColor>
#include <QtGui/QFont>
#include <QtGui/QPalette>
#include <optional>

#include "platform/NotificationCenter.h"
#include "uikit/ZKThemeManager.h"

class QWidget;

// What a view that follows the theme answers: set every themed property again from the current theme.
class ZKThemeUpdateProtocol {
 public:
  virtual ~ZKThemeUpdateProtocol() = default;
  virtual void applyTheme() = 0;
};

// The shared part of every themable view. A themable view keeps theme keys (strings naming colours,
// fonts or images of the theme) and, once configured, re-applies them on every theme change.
//
// A themable subclass of a kit widget is a few lines:
//   class ZKThemableThing : public ZKThing, public ZKThemable {
//     Q_OBJECT
//     Q_PROPERTY(QString tintColorKey READ tintColorKey WRITE setTintColorKey)
//    public:
//     explicit ZKThemableThing(QWidget* parent = nullptr) : ZKThing(parent) { configure(); }
//     QString tintColorKey() const { return tintColorKey_; }
//     void setTintColorKey(const QString& key) { if (storeKey(tintColorKey_, key)) applyTheme(); }
//     void applyTheme() override { applyColor(tintColorKey_, [this](const QColor& c) { setTintColor(c); }); }
//     void awakeFromNib() override { ZKThing::awakeFromNib(); configure(); }
//    private:
//     QString tintColorKey_;
//   };
// A subclass that extends applyTheme of a themable base calls applyTheme once more at the end of its
// own constructor: the base's configure ran before the subclass existed.
class ZKThemable : public ZKThemeUpdateProtocol {
 public:
  bool isConfigured() const { return isConfigured_; }
  void setIsConfigured(bool configured) { isConfigured_ = configured; }

  // Once: starts observing theme changes (applyTheme on each) and applies the theme now.
  void configure();

 protected:
  ZKThemable() = default;
  ~ZKThemable() override;
  ZKThemable(const ZKThemable&) = delete;
  ZKThemable& operator=(const ZKThemable&) = delete;

  // Stores `key` and answers true when it is another string object than the stored one (an equal
  // string made apart counts as another; a copy of the stored one does not).
  static bool storeKey(QString& stored, const QString& key);

  static ZKThemeManager& themeManager() { return ZKThemeManager::sharedManager(); }
  // Look a key up and hand the answer (even none) to `set`; an unset (null) key leaves it alone.
  template <typename Set>
  static void applyColor(const QString& key, Set&& set) {
    if (!key.isNull()) set(themeManager().colorForKey(key));
  }
  template <typename Set>
  static void applyFont(const QString& key, Set&& set) {
    if (!key.isNull()) set(themeManager().fontForKey(key));
  }
  template <typename Set>
  static void applyImage(const QString& key, Set&& set) {
    if (!key.isNull()) set(themeManager().imageForKey(key));
  }

 private:
  bool isConfigured_ = false;
  platform::ObserverToken themeObserver_;
};

// Gives the widget's palette role the colour in every colour group; an invalid colour (a theme without
// that key) gives the role back the colour the widget would inherit, never black.
void zk_setPaletteColor(QWidget* widget, QPalette::ColorRole role, const QColor& color);
// Gives the widget the font; none gives it back the font it would inherit.
void zk_setThemeFont(QWidget* widget, const std::optional<QFont>& font);
