#include "uikit/ZKThemableTableView.h"

#include <QtWidgets/QStyle>
#include <QtWidgets/QStyleOptionViewItem>

ZKThemableTableView::ZKThemableTableView(QWidget* parent) : QTableView(parent) { configure(); }

void ZKThemableTableView::setBackgroundColor(const QColor& color) {
  zk_setPaletteColor(this, QPalette::Base, color);
  zk_setPaletteColor(viewport(), QPalette::Base, color);
}

// The table draws its grid in the colour its style answers for the palette's mid role.
QColor ZKThemableTableView::gridColor() const {
  QStyleOptionViewItem option;
  option.initFrom(this);
  return QColor::fromRgba(static_cast<QRgb>(style()->styleHint(QStyle::SH_Table_GridLineColor, &option, this)));
}

void ZKThemableTableView::setGridColor(const QColor& color) { zk_setPaletteColor(this, QPalette::Mid, color); }

void ZKThemableTableView::reloadData() { viewport()->update(); }

void ZKThemableTableView::applyTheme() {
  applyColor(backgroundColorKey_, [this](const QColor& color) { setBackgroundColor(color); });
  applyColor(gridColorKey_, [this](const QColor& color) {
    setGridColor(color);
    reloadData();
  });
}
