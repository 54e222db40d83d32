#include "uikit/ZKTableTextField.h"

#include <QtGui/QFocusEvent>

#include "uikit/ZKThemable.h"

ZKTableTextField::ZKTableTextField(QWidget* parent) : QLineEdit(parent) {
  setFrame(false);
  // No field of its own: the text sits on the row or view behind it.
  QPalette transparent = palette();
  transparent.setColor(QPalette::Base, Qt::transparent);
  setPalette(transparent);
  setAutoFillBackground(false);
}

void ZKTableTextField::showTextColor(const QColor& color) { zk_setPaletteColor(this, QPalette::Text, color); }

void ZKTableTextField::setTextColor(const QColor& color) {
  showTextColor(color);
  originalColor_ = color;
}

void ZKTableTextField::setBackgroundStyle(std::int64_t style) {
  backgroundStyle_ = style;
  // Text being edited keeps its editing colour until editing ends.
  if (hasFocus() && !isReadOnly()) {
    showTextColor(editingTextColor());
    return;
  }
  showTextColor(style == BackgroundStyleEmphasized ? QColor(Qt::white) : originalColor_);
}

void ZKTableTextField::updateTextColor() { showTextColor(originalColor_); }

QColor ZKTableTextField::editingTextColor() {
  ZKThemeManager& manager = ZKThemeManager::sharedManager();
  const QColor window = manager.colorForKey(QStringLiteral("windowColor"));
  if (window.isValid() && window.lightnessF() < 0.5) {
    const QColor text = manager.colorForKey(QStringLiteral("textColor"));
    return text.isValid() ? text : QColor(Qt::white);
  }
  return QColor(Qt::black);
}

void ZKTableTextField::awakeFromNib() {
  originalColor_ = textColor();
  updateTextColor();
}

void ZKTableTextField::focusInEvent(QFocusEvent* event) {
  if (!isReadOnly()) showTextColor(editingTextColor());
  QLineEdit::focusInEvent(event);
}

void ZKTableTextField::focusOutEvent(QFocusEvent* event) {
  QLineEdit::focusOutEvent(event);
  if (!hasFocus()) setBackgroundStyle(backgroundStyle_);
}

void ZKTableTextField::changeEvent(QEvent* event) {
  QLineEdit::changeEvent(event);
  if (event->type() == QEvent::ThemeChange || event->type() == QEvent::ApplicationPaletteChange)
    appearanceDidChange();
}
