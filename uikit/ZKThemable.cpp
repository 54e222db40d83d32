#include "uikit/ZKThemable.h"

#include <QtWidgets/QApplication>
#include <QtWidgets/QWidget>

void ZKThemable::configure() {
  if (isConfigured_) return;
  isConfigured_ = true;
  themeObserver_ = platform::NotificationCenter::defaultCenter().addObserverForName(
      ZKThemeManagerNotificationThemeDidUpdate, nullptr,
      [this](const platform::Notification&) { applyTheme(); });
  applyTheme();
}

ZKThemable::~ZKThemable() = default;

bool ZKThemable::storeKey(QString& stored, const QString& key) {
  const bool same =
      stored.constData() == key.constData() && stored.size() == key.size() && stored.isNull() == key.isNull();
  if (same) return false;
  stored = key;
  return true;
}

void zk_setPaletteColor(QWidget* widget, QPalette::ColorRole role, const QColor& color) {
  QPalette palette = widget->palette();
  QColor shown = color;
  if (!shown.isValid()) {
    const QPalette inherited =
        widget->parentWidget() ? widget->parentWidget()->palette() : QApplication::palette(widget);
    for (const auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
      palette.setColor(group, role, inherited.color(group, role));
  } else {
    palette.setColor(role, shown);
  }
  widget->setPalette(palette);
}

void zk_setThemeFont(QWidget* widget, const std::optional<QFont>& font) {
  widget->setFont(font.value_or(QFont()));
}
