#include "uikit/ZKThemableTableTextField.h"

ZKThemableTableTextField::ZKThemableTableTextField(QWidget* parent) : ZKTableTextField(parent) {
  configure();
}

void ZKThemableTableTextField::setFontKey(const QString& key) {
  if (storeKey(fontKey_, key)) applyTheme();
}

void ZKThemableTableTextField::setTextColorKey(const QString& key) {
  if (storeKey(textColorKey_, key)) applyTheme();
}

void ZKThemableTableTextField::setHighlightedTextColorKey(const QString& key) {
  if (storeKey(highlightedTextColorKey_, key)) applyTheme();
}

void ZKThemableTableTextField::applyTheme() {
  applyFont(fontKey_, [this](const std::optional<QFont>& font) { zk_setThemeFont(this, font); });
  applyColor(textColorKey_, [this](const QColor& color) {
    setTextColor(color);
    setBackgroundStyle(backgroundStyle());
  });
  applyColor(highlightedTextColorKey_, [this](const QColor& color) {
    setHighlightColor(color);
    setBackgroundStyle(backgroundStyle());
  });
}

void ZKThemableTableTextField::awakeFromNib() {
  ZKTableTextField::awakeFromNib();
  configure();
}
