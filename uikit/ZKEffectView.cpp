#include "uikit/ZKEffectView.h"

#include <QtGui/QPainter>

ZKEffectView::ZKEffectView(QWidget* parent) : QWidget(parent) {}

void ZKEffectView::setMaterial(Material material) {
  material_ = material;
  update();
}

QColor ZKEffectView::materialColor() const {
  return material_ == Material::Dark ? QColor(40, 40, 43, 245) : QColor(236, 236, 236, 245);
}

void ZKEffectView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), materialColor());
}
