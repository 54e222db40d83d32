#include "uikit/ZKThemableTextField.h"

ZKThemableTextField::ZKThemableTextField(QWidget* parent) : QLabel(parent) { configure(); }

void ZKThemableTextField::setFontKey(const QString& key) {
  if (storeKey(fontKey_, key)) applyTheme();
}

void ZKThemableTextField::setTextColorKey(const QString& key) {
  if (storeKey(textColorKey_, key)) applyTheme();
}

void ZKThemableTextField::setTextColor(const QColor& color) {
  zk_setPaletteColor(this, QPalette::WindowText, color);
}

void ZKThemableTextField::applyTheme() {
  applyFont(fontKey_, [this](const std::optional<QFont>& font) { zk_setThemeFont(this, font); });
  applyColor(textColorKey_, [this](const QColor& color) { setTextColor(color); });
}
