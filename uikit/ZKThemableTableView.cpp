#include "uikit/ZKThemableTableView.h"

#include <QtWidgets/QStyle>
#include <QtWidgets/QStyleOptionViewItem>

ZKThemableTableView::ZKThemableTableView(QWidget* parent) : QTableView(parent) { configure(); }

void ZKThemableTableView::setBackgroundColor(const QColor& color) {
  zk_setPaletteColor(this, QPalette::Base, color);
  zk_setPaletteColor(viewport(), QPalette::Base, color);
}

QColor ZKThemableTableView::gridColor() const {
  if (gridColor_.isValid()) return gridColor_;
  QStyleOptionViewItem option;
  option.initFrom(this);
  return QColor::fromRgba(static_cast<QRgb>(style()->styleHint(QStyle::SH_Table_GridLineColor, &option, this)));
}

// The table asks its style for the grid colour; a style sheet rule is the one way to give it another.
void ZKThemableTableView::setGridColor(const QColor& color) {
  if (color == gridColor_) return;
  gridColor_ = color;
  setStyleSheet(color.isValid() ? QStringLiteral("QTableView { gridline-color: %1; }").arg(color.name(QColor::HexArgb))
                                : QString());
}

void ZKThemableTableView::reloadData() { viewport()->update(); }

void ZKThemableTableView::applyTheme() {
  applyColor(backgroundColorKey_, [this](const QColor& color) { setBackgroundColor(color); });
  applyColor(gridColorKey_, [this](const QColor& color) {
    setGridColor(color);
    reloadData();
  });
}
