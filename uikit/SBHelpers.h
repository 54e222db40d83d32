#pragma once

#include <QtCore/QObject>
#include <QtDBus/QDBusConnection>
#include <optional>

class QDBusVariant;
class QPalette;

// The desktop's light or dark appearance. The desktop portal's "org.freedesktop.appearance"
// "color-scheme" setting decides (1 prefers dark, 2 prefers light); where no portal answers or it
// states no preference (0), the desktop palette's lightness decides (the application palette as the
// desktop gives it, not the theme's, QVApplicationTheme::desktopPalette).
class SBHelpers {
 public:
  // True when the desktop appearance is dark, asked on the session bus.
  static bool isDarkMode();
  static bool isDarkMode(const QDBusConnection& bus);

  // The portal's colour scheme (0 no preference, 1 dark, 2 light); none when no portal answers within
  // the timeout.
  static std::optional<uint> portalColorScheme(const QDBusConnection& bus, int timeoutMilliseconds = 1000);
  // True when the palette's window colour is darker than its middle grey.
  static bool paletteIsDark(const QPalette& palette);
  // The dark answer for a colour scheme, with the palette deciding "no preference" and no answer.
  static bool isDarkColorScheme(std::optional<uint> scheme, const QPalette& palette);
};

// Follows the desktop appearance: the portal's SettingChanged signal for the colour scheme, and the
// application palette where no portal answers. Tells each change of the answer once.
class SBAppearanceMonitor : public QObject {
  Q_OBJECT

 public:
  explicit SBAppearanceMonitor(QObject* parent = nullptr);
  explicit SBAppearanceMonitor(const QDBusConnection& bus, QObject* parent = nullptr);
  ~SBAppearanceMonitor() override;

  // The answer now.
  bool isDarkMode() const { return dark_; }
  // The portal's last colour scheme (none while no portal answered).
  std::optional<uint> colorScheme() const { return scheme_; }

 Q_SIGNALS:
  void appearanceDidChange(bool dark);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private Q_SLOTS:
  // QtDBus delivers bus signals to slots only by signature.
  void portalSettingChanged(const QString& settingNamespace, const QString& key, const QDBusVariant& value);

 private:
  void update(std::optional<uint> scheme);

  QDBusConnection bus_;
  std::optional<uint> scheme_;
  bool dark_ = false;
};
