#include "uikit/ZKThemableScrollView.h"

ZKThemableScrollView::ZKThemableScrollView(QWidget* parent) : QScrollArea(parent) { configure(); }

void ZKThemableScrollView::setBackgroundColorKey(const QString& key) {
  if (storeKey(backgroundColorKey_, key)) applyTheme();
}

void ZKThemableScrollView::setBackgroundColor(const QColor& color) {
  backgroundColor_ = color;
  viewport()->setBackgroundRole(QPalette::Window);
  zk_setPaletteColor(viewport(), QPalette::Window, color);
  viewport()->setAutoFillBackground(color.isValid());
}

void ZKThemableScrollView::applyTheme() {
  applyColor(backgroundColorKey_, [this](const QColor& color) { setBackgroundColor(color); });
  viewport()->update();
}
