#include "uikit/ZKThemableView.h"

ZKThemableView::ZKThemableView(QWidget* parent) : ZKView(parent) { configure(); }

void ZKThemableView::setBackgroundColorKey(const QString& key) {
  if (storeKey(backgroundColorKey_, key)) applyTheme();
}

void ZKThemableView::setBorderColorKey(const QString& key) {
  if (storeKey(borderColorKey_, key)) applyTheme();
}

void ZKThemableView::applyTheme() {
  applyColor(backgroundColorKey_, [this](const QColor& color) { setBackgroundColor(color); });
  applyColor(borderColorKey_, [this](const QColor& color) { setBorderColor(color); });
  update();
}

void ZKThemableView::awakeFromNib() {
  ZKView::awakeFromNib();
  configure();
}
