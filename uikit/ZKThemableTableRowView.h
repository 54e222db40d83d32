#pragma once

#include "uikit/ZKTableRowView.h"
#include "uikit/ZKThemable.h"

// A row view whose background, selection and separator colours follow the theme. Keys set after it was
// configured wait for the next theme change. Without a selection colour it draws no selection at all.
class ZKThemableTableRowView : public ZKTableRowView, public ZKThemable {
 public:
  ZKThemableTableRowView() { configure(); }

  QString selectedBackgroundColorKey() const { return selectedBackgroundColorKey_; }
  void setSelectedBackgroundColorKey(const QString& key) { selectedBackgroundColorKey_ = key; }
  QString backgroundColorKey() const { return backgroundColorKey_; }
  void setBackgroundColorKey(const QString& key) { backgroundColorKey_ = key; }
  QString separatorColorKey() const { return separatorColorKey_; }
  void setSeparatorColorKey(const QString& key) { separatorColorKey_ = key; }

  QColor selectedBackgroundColor() const { return selectedBackgroundColor_; }
  void setSelectedBackgroundColor(const QColor& color) { selectedBackgroundColor_ = color; }
  QColor internalBackgroundColor() const { return internalBackgroundColor_; }
  void setInternalBackgroundColor(const QColor& color) { internalBackgroundColor_ = color; }
  QColor separatorFillColor() const { return separatorFillColor_; }
  void setSeparatorFillColor(const QColor& color) { separatorFillColor_ = color; }

  void applyTheme() override;

  QColor selectionTint() const override { return selectedBackgroundColor_; }
  void drawBackgroundInRect(QPainter& painter, const QRectF& dirty, const QRectF& bounds) const override;
  // A rounded rectangle (radius 3) over the row made two points narrower.
  void drawSelectionInRect(QPainter& painter, const QRectF& dirty, const QRectF& bounds) const override;
  // A one-point line along the row's bottom edge.
  void drawSeparatorInRect(QPainter& painter, const QRectF& dirty, const QRectF& bounds) const override;

 private:
  QString selectedBackgroundColorKey_;
  QString backgroundColorKey_;
  QString separatorColorKey_;
  QColor selectedBackgroundColor_;
  QColor internalBackgroundColor_;
  QColor separatorFillColor_;
};

// The dashboard's group row: filled with the theme's window colour, redrawn on every theme change.
class QVThemedGroupRow : public QVGroupRowView, public ZKThemable {
 public:
  QVThemedGroupRow() { configure(); }
  void drawRect(QPainter& painter, const QRectF& dirty, const QRectF& bounds, bool selected) const override;
  void applyTheme() override { setNeedsDisplay(); }
};
