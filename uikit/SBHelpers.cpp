#include "uikit/SBHelpers.h"

#include <QtCore/QEvent>
#include <QtDBus/QDBusError>
#include <QtDBus/QDBusMessage>
#include <QtDBus/QDBusVariant>
#include <QtGui/QGuiApplication>
#include <QtGui/QPalette>

#include "platform/Log.h"
#include "uikit/QVApplicationTheme.h"

namespace {

constexpr const char* kPortalService = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
constexpr const char* kSettingsInterface = "org.freedesktop.portal.Settings";
constexpr const char* kAppearanceNamespace = "org.freedesktop.appearance";
constexpr const char* kColorSchemeKey = "color-scheme";

// The number inside the variants the portal wraps its values in (Read answers a variant in a variant).
std::optional<uint> unwrapScheme(QVariant value) {
  for (int depth = 0; depth < 4 && value.metaType() == QMetaType::fromType<QDBusVariant>(); ++depth)
    value = value.value<QDBusVariant>().variant();
  bool ok = false;
  const uint scheme = value.toUInt(&ok);
  if (!ok) return std::nullopt;
  return scheme;
}

// The desktop's palette, not the theme's: the application palette carries the theme once one is chosen.
QPalette applicationPalette() { return QVApplicationTheme::desktopPalette(); }

}  // namespace

bool SBHelpers::paletteIsDark(const QPalette& palette) {
  return palette.color(QPalette::Window).lightnessF() < 0.5;
}

bool SBHelpers::isDarkColorScheme(std::optional<uint> scheme, const QPalette& palette) {
  if (scheme == 1u) return true;
  if (scheme == 2u) return false;
  return paletteIsDark(palette);
}

std::optional<uint> SBHelpers::portalColorScheme(const QDBusConnection& bus, int timeoutMilliseconds) {
  if (!bus.isConnected()) return std::nullopt;
  // ReadOne (newer portals) answers the value itself, Read (every portal) a variant around it.
  for (const char* method : {"ReadOne", "Read"}) {
    QDBusMessage call =
        QDBusMessage::createMethodCall(kPortalService, kPortalPath, kSettingsInterface, method);
    call << QString::fromLatin1(kAppearanceNamespace) << QString::fromLatin1(kColorSchemeKey);
    const QDBusMessage reply = bus.call(call, QDBus::Block, timeoutMilliseconds);
    if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty())
      return unwrapScheme(reply.arguments().constFirst());
    // No portal at all: no use asking again.
    if (reply.errorName() == u"org.freedesktop.DBus.Error.ServiceUnknown" ||
        reply.errorName() == u"org.freedesktop.DBus.Error.NoReply" ||
        reply.errorName() == u"org.freedesktop.DBus.Error.Disconnected")
      return std::nullopt;
  }
  return std::nullopt;
}

bool SBHelpers::isDarkMode(const QDBusConnection& bus) {
  return isDarkColorScheme(portalColorScheme(bus), applicationPalette());
}

bool SBHelpers::isDarkMode() { return isDarkMode(QDBusConnection::sessionBus()); }

SBAppearanceMonitor::SBAppearanceMonitor(QObject* parent)
    : SBAppearanceMonitor(QDBusConnection::sessionBus(), parent) {}

SBAppearanceMonitor::SBAppearanceMonitor(const QDBusConnection& bus, QObject* parent)
    : QObject(parent), bus_(bus) {
  if (bus_.isConnected()) {
    // Any sender: only the portal speaks this interface on this path, and a rule without a service
    // name is in place at once (a named one waits for the name's owner to be looked up).
    // The slot's argument types must be known to the meta-type system before the bus can match them.
    qRegisterMetaType<QDBusVariant>();
    if (!bus_.connect(QString(), QString::fromLatin1(kPortalPath), QString::fromLatin1(kSettingsInterface),
                      QStringLiteral("SettingChanged"), this,
                      SLOT(portalSettingChanged(QString, QString, QDBusVariant))))
      platform::log("Appearance: cannot follow the desktop portal's settings: {}",
                    bus_.lastError().message().toStdString());
  }
  scheme_ = SBHelpers::portalColorScheme(bus_);
  dark_ = SBHelpers::isDarkColorScheme(scheme_, applicationPalette());
  if (qApp) qApp->installEventFilter(this);
}

SBAppearanceMonitor::~SBAppearanceMonitor() {
  if (bus_.isConnected()) {
    bus_.disconnect(QString(), QString::fromLatin1(kPortalPath), QString::fromLatin1(kSettingsInterface),
                    QStringLiteral("SettingChanged"), this,
                    SLOT(portalSettingChanged(QString, QString, QDBusVariant)));
  }
}

void SBAppearanceMonitor::portalSettingChanged(const QString& settingNamespace, const QString& key,
                                               const QDBusVariant& value) {
  if (settingNamespace != QLatin1String(kAppearanceNamespace) || key != QLatin1String(kColorSchemeKey))
    return;
  update(unwrapScheme(value.variant()));
}

bool SBAppearanceMonitor::eventFilter(QObject* watched, QEvent* event) {
  // The palette decides only while the portal has no preference to give.
  if (watched == qApp && event->type() == QEvent::ApplicationPaletteChange && scheme_ != 1u && scheme_ != 2u)
    update(scheme_);
  return QObject::eventFilter(watched, event);
}

void SBAppearanceMonitor::update(std::optional<uint> scheme) {
  scheme_ = scheme;
  const bool dark = SBHelpers::isDarkColorScheme(scheme_, applicationPalette());
  if (dark == dark_) return;
  dark_ = dark;
  Q_EMIT appearanceDidChange(dark_);
}
