#include "uikit/ZKEnabledTextField.h"

#include <QtCore/QEvent>
#include <QtWidgets/QGraphicsOpacityEffect>
#include <algorithm>

ZKEnabledTextField::ZKEnabledTextField(QWidget* parent)
    : QLabel(parent), opacity_(new QGraphicsOpacityEffect(this)) {
  opacity_->setOpacity(1.0);
  setGraphicsEffect(opacity_);
}

double ZKEnabledTextField::alphaValue() const { return opacity_->opacity(); }

void ZKEnabledTextField::showAlpha(double alpha) { opacity_->setOpacity(std::clamp(alpha, 0.0, 1.0)); }

void ZKEnabledTextField::setAlphaValue(double alpha) {
  showAlpha(alpha);
  originalAlphaValue_ = alpha;
}

void ZKEnabledTextField::awakeFromNib() { originalAlphaValue_ = alphaValue(); }

void ZKEnabledTextField::changeEvent(QEvent* event) {
  QLabel::changeEvent(event);
  // Every way of disabling counts, the parent's included.
  if (event->type() == QEvent::EnabledChange) {
    showAlpha(isEnabled() ? originalAlphaValue_ : originalAlphaValue_ - 0.5);
  }
}
