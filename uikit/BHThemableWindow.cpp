#include "uikit/BHThemableWindow.h"

BHThemableWindow::BHThemableWindow(QWidget* parent, Qt::WindowFlags flags) : ZKYosemiteWindow(parent, flags) {
  setAutoFillBackground(true);
  configure();
}

void BHThemableWindow::setBackgroundColorKey(const QString& key) {
  if (storeKey(backgroundColorKey_, key)) applyTheme();
}

void BHThemableWindow::setBackgroundColor(const QColor& color) {
  zk_setPaletteColor(this, QPalette::Window, color);
}

void BHThemableWindow::applyTheme() {
  applyColor(backgroundColorKey_, [this](const QColor& color) { setBackgroundColor(color); });
}

void BHThemableWindow::awakeFromNib() {
  ZKYosemiteWindow::awakeFromNib();
  configure();
}
