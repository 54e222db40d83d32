#include "uikit/ZKThemableTableView.h"

#include <QtWidgets/QStyle>
#include <QtWidgets/QStyleOptionViewItem>

ZKThemableTableView::ZKThemableTableView(QWidget* parent) : QTableView(parent) { configure(); }

void ZKThemableTableView::setBackgroundColor(const QColor& color) {
  if (color == backgroundColor_) return;
  backgroundColor_ = color;
  updateStyleSheet();
}

QColor ZKThemableTableView::backgroundColor() const {
  return backgroundColor_.isValid() ? backgroundColor_ : palette().color(QPalette::Base);
}

// A table styled by a style sheet takes its colours from the sheet alone (its palette is replaced when
// the sheet polishes it), so background, text and grid go into one rule. Text over a dark background
// is drawn light, so that rows without cells of their own stay readable.
void ZKThemableTableView::updateStyleSheet() {
  QStringList rules;
  if (backgroundColor_.isValid()) {
    rules << QStringLiteral("background-color: %1;").arg(backgroundColor_.name(QColor::HexArgb));
    rules << QStringLiteral("color: %1;")
                 .arg(backgroundColor_.lightnessF() < 0.5 ? QStringLiteral("rgba(255, 255, 255, 217)")
                                                          : QStringLiteral("black"));
  }
  if (gridColor_.isValid())
    rules << QStringLiteral("gridline-color: %1;").arg(gridColor_.name(QColor::HexArgb));
  setStyleSheet(rules.isEmpty() ? QString() : QStringLiteral("QTableView { %1 }").arg(rules.join(u' ')));
}

QColor ZKThemableTableView::gridColor() const {
  if (gridColor_.isValid()) return gridColor_;
  QStyleOptionViewItem option;
  option.initFrom(this);
  return QColor::fromRgba(
      static_cast<QRgb>(style()->styleHint(QStyle::SH_Table_GridLineColor, &option, this)));
}

// The table asks its style for the grid colour; a style sheet rule is the one way to give it another.
void ZKThemableTableView::setGridColor(const QColor& color) {
  if (color == gridColor_) return;
  gridColor_ = color;
  updateStyleSheet();
}

void ZKThemableTableView::reloadData() { viewport()->update(); }

void ZKThemableTableView::applyTheme() {
  applyColor(backgroundColorKey_, [this](const QColor& color) { setBackgroundColor(color); });
  applyColor(gridColorKey_, [this](const QColor& color) {
    setGridColor(color);
    reloadData();
  });
}
