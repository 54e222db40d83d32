#include "uikit/QVWindowTheme.h"

#include <QtWidgets/QAbstractButton>
#include <QtWidgets/QAbstractItemView>
#include <QtWidgets/QAbstractSpinBox>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QLabel>
#include <QtWidgets/QLineEdit>

#include "uikit/QVApplicationTheme.h"
#include "uikit/ZKThemableTableView.h"
#include "uikit/ZKTheme.h"

QVWindowTheme* QVWindowTheme::follow(QWidget* widget) {
  auto* theme = new QVWindowTheme(widget);
  theme->configure();
  return theme;
}

QVWindowTheme* QVWindowTheme::keep(QWidget* widget, const QString& themeClassName) {
  auto* theme = new QVWindowTheme(widget);
  theme->fixedTheme_ = themeClassName;
  theme->configure();
  return theme;
}

void QVWindowTheme::applyTheme() {
  if (!widget_) return;
  const ZKTheme* fixed = fixedTheme_.isEmpty() ? nullptr : ZKTheme::sharedTheme(fixedTheme_);
  auto color = [fixed](const char* key) {
    if (!fixed) return themeManager().colorForKey(QString::fromLatin1(key));
    return fixed->valueForKey(QString::fromLatin1(key)).value<QColor>();
  };
  const QColor window = color("windowColor");
  const QColor separator = color("detailsTableSeparatorColor");
  const QColor accent = color("spaceLabelColor");
  // The same palette as the application's, for windows that a palette of their own would keep apart.
  const QPalette palette = fixed ? QVApplicationTheme::paletteOfTheme(fixed, widget_->palette())
                                 : QVApplicationTheme::currentThemePalette(widget_->palette());
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
