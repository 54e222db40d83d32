#include "uikit/QVWindowTheme.h"

#include <QtWidgets/QAbstractButton>
#include <QtWidgets/QAbstractItemView>
#include <QtWidgets/QAbstractSpinBox>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QLabel>
#include <QtWidgets/QLineEdit>

#include "uikit/ZKThemableTableView.h"

QVWindowTheme* QVWindowTheme::follow(QWidget* widget) {
  auto* theme = new QVWindowTheme(widget);
  theme->configure();
  return theme;
}

void QVWindowTheme::applyTheme() {
  if (!widget_) return;
  auto& themes = themeManager();
  const QColor window = themes.colorForKey(QStringLiteral("windowColor"));
  const QColor text = themes.colorForKey(QStringLiteral("textColor"));
  const QColor field = themes.colorForKey(QStringLiteral("windowHeaderColor"));
  const QColor separator = themes.colorForKey(QStringLiteral("detailsTableSeparatorColor"));
  const QColor accent = themes.colorForKey(QStringLiteral("spaceLabelColor"));
  QPalette palette = widget_->palette();
  auto set = [&palette](QPalette::ColorRole role, const QColor& color) {
    if (color.isValid()) palette.setColor(role, color);
  };
  set(QPalette::Window, window);
  set(QPalette::WindowText, text);
  set(QPalette::Text, text);
  set(QPalette::ButtonText, text);
  set(QPalette::Base, field);
  set(QPalette::AlternateBase, window);
  set(QPalette::Button, field);
  set(QPalette::Link, accent);
  set(QPalette::Highlight, accent);
  if (text.isValid()) {
    QColor placeholder = text;
    placeholder.setAlphaF(0.45f);
    palette.setColor(QPalette::PlaceholderText, placeholder);
  }
  widget_->setPalette(palette);
  widget_->setAutoFillBackground(true);
  for (auto* view : widget_->findChildren<QAbstractItemView*>()) {
    view->setStyleSheet(
        zk_itemViewStyleSheet(QString::fromUtf8(view->metaObject()->className()), window, separator));
  }
  // Controls inside a view with a style sheet take their palette from the sheet's style, not from
  // their parents: they are given the theme's palette themselves.
  for (auto* control : widget_->findChildren<QWidget*>()) {
    if (qobject_cast<QLineEdit*>(control) || qobject_cast<QComboBox*>(control) ||
        qobject_cast<QAbstractSpinBox*>(control) || qobject_cast<QAbstractButton*>(control) ||
        qobject_cast<QLabel*>(control)) {
      QPalette own = palette;
      // Buttons that are links (a "qvLink" property) show in the link colour.
      if (control->property("qvLink").toBool() && accent.isValid())
        own.setColor(QPalette::ButtonText, accent);
      control->setPalette(own);
    }
  }
}
