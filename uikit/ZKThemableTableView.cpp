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
  setStyleSheet(zk_itemViewStyleSheet(QStringLiteral("QTableView"), backgroundColor_, gridColor_));
}

QString zk_itemViewStyleSheet(const QString& selector, const QColor& background, const QColor& grid) {
  QStringList rules;
  if (background.isValid()) {
    rules << QStringLiteral("background-color: %1;").arg(background.name(QColor::HexArgb));
    rules << QStringLiteral("color: %1;")
                 .arg(background.lightnessF() < 0.5 ? QStringLiteral("rgba(255, 255, 255, 217)")
                                                    : QStringLiteral("black"));
  }
  if (grid.isValid()) rules << QStringLiteral("gridline-color: %1;").arg(grid.name(QColor::HexArgb));
  if (rules.isEmpty()) return QString();
  QString sheet = QStringLiteral("%1 { %2 }").arg(selector, rules.join(u' '));
  if (!background.isValid() || background.lightnessF() >= 0.5) return sheet;

  // Over a dark background the header and the scroll bars go dark too, in the theme's colours.
  ZKThemeManager& theme = ZKThemeManager::sharedManager();
  auto themed = [&](const char* key, const QColor& fallback) {
    const QColor c = theme.colorForKey(QString::fromUtf8(key));
    return (c.isValid() ? c : fallback).name(QColor::HexArgb);
  };
  const QString header = themed("windowHeaderColor", background.darker(120));
  const QString separator = themed("tableHeaderSeparatorColor", background.lighter(140));
  const QString text = themed("textColor", QColor(255, 255, 255, 217));
  QColor handle = theme.colorForKey(QStringLiteral("textColor"));
  if (!handle.isValid()) handle = Qt::white;
  handle.setAlphaF(0.35f);
  QColor handleHover = handle;
  handleHover.setAlphaF(0.55f);
  sheet += QStringLiteral(
               " QHeaderView { background-color: %1; border: none; }"
               " QHeaderView::section { background-color: %1; color: %2; border: none;"
               " border-right: 1px solid %3; border-bottom: 1px solid %3; padding: 3px 6px; }"
               " QTableCornerButton::section { background-color: %1; border: none;"
               " border-bottom: 1px solid %3; }"
               " QScrollBar:vertical { background: %4; width: 11px; margin: 0; border: none; }"
               " QScrollBar:horizontal { background: %4; height: 11px; margin: 0; border: none; }"
               " QScrollBar::handle { background: %5; border-radius: 3px; margin: 2px; }"
               " QScrollBar::handle:hover { background: %6; }"
               " QScrollBar::handle:vertical { min-height: 24px; }"
               " QScrollBar::handle:horizontal { min-width: 24px; }"
               " QScrollBar::add-line, QScrollBar::sub-line { width: 0; height: 0; border: none; }"
               " QScrollBar::add-page, QScrollBar::sub-page { background: none; }")
               .arg(header, text, separator, background.name(QColor::HexArgb), handle.name(QColor::HexArgb),
                    handleHover.name(QColor::HexArgb));
  return sheet;
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
  // The header and scroll bars take the new theme's colours even when the background kept its own.
  if (backgroundColor_.isValid()) updateStyleSheet();
}
