#pragma once

#include <QtCore/QModelIndex>
#include <QtCore/QPointer>
#include <QtCore/QRectF>
#include <QtGui/QColor>
#include <QtWidgets/QWidget>
#include <memory>
#include <vector>

class QPainter;
class QAbstractItemView;

// How one row of a table or outline is drawn behind its cells: background, selection and separator.
// A row view is a drawing object, not a widget, so that a table of hundreds of rows makes no widget per
// row; the kit's cell delegates ask the view's row view to draw each cell's part of its row. `bounds`
// is the whole row, `dirty` the part being drawn now, both in the view's viewport coordinates.
class ZKTableRowView {
 public:
  virtual ~ZKTableRowView() = default;

  // Draws the row: background, then the selection while selected, then the separator.
  virtual void drawRect(QPainter& painter, const QRectF& dirty, const QRectF& bounds, bool selected) const;
  // Nothing by default: the table's own background shows through.
  virtual void drawBackgroundInRect(QPainter& painter, const QRectF& dirty, const QRectF& bounds) const;
  // The desktop's selection colour by default.
  virtual void drawSelectionInRect(QPainter& painter, const QRectF& dirty, const QRectF& bounds) const;
  // No separator by default.
  virtual void drawSeparatorInRect(QPainter& painter, const QRectF& dirty, const QRectF& bounds) const;
  // The colour a selection is drawn in (invalid when the row view draws none), so that cells can pick
  // a readable text colour.
  virtual QColor selectionTint() const;
  // Selections are always drawn in the active style.
  virtual bool isEmphasized() const { return true; }
  // The pointer shape over the row.
  virtual Qt::CursorShape cursorShape() const { return Qt::ArrowCursor; }

  // Redraws every view the row view draws in (after its colours changed).
  void setNeedsDisplay() const;
  // Makes the row view redraw that widget on setNeedsDisplay (done by the hosts that use it).
  void addDisplayingView(QWidget* view) const;

 private:
  mutable std::vector<QPointer<QWidget>> displayingViews_;
};

// Group rows of the emoji picker and the add-module list: white, no selection, a pointing hand.
class QVGroupRowView : public ZKTableRowView {
 public:
  void drawRect(QPainter& painter, const QRectF& dirty, const QRectF& bounds, bool selected) const override;
  void drawSelectionInRect(QPainter&, const QRectF&, const QRectF&) const override {}
  QColor selectionTint() const override { return QColor(); }
  Qt::CursorShape cursorShape() const override { return Qt::PointingHandCursor; }
};

// Rows with the kit's blue selection and a pointing hand.
class SBTableRowView : public ZKTableRowView {
 public:
  static QColor selectionColor();
  void drawSelectionInRect(QPainter& painter, const QRectF& dirty, const QRectF& bounds) const override;
  QColor selectionTint() const override { return selectionColor(); }
  Qt::CursorShape cursorShape() const override { return Qt::PointingHandCursor; }
};

// Rows of the preferences sidebar: nothing at all unless selected, then the kit's blue.
class DATableRowView : public ZKTableRowView {
 public:
  void drawRect(QPainter& painter, const QRectF& dirty, const QRectF& bounds, bool selected) const override;
  void drawSelectionInRect(QPainter& painter, const QRectF& dirty, const QRectF& bounds) const override;
  QColor selectionTint() const override;
};

// What a kit table or outline answers its cell delegates: the row view of a row (none: the delegate
// draws the row as the desktop would).
class ZKRowViewHost {
 public:
  virtual ~ZKRowViewHost() = default;

  // The row view of ordinary rows and that of group rows; shared, so one object can serve many
  // tables. Group rows use the ordinary one while no group row view is set.
  void setRowViewForRows(std::shared_ptr<ZKTableRowView> rowView);
  void setRowViewForGroupRows(std::shared_ptr<ZKTableRowView> rowView);
  // The widget the rows are drawn in (the view's viewport).
  virtual QWidget* rowViewport() const = 0;
  ZKTableRowView* rowViewForIndex(const QModelIndex& index) const;
  // Whether the row of that index is a group row (the view's delegate answers).
  virtual bool isGroupRowIndex(const QModelIndex& index) const = 0;
  // Shows the pointer shape of the row view under that viewport point.
  void updateRowCursor(const QModelIndex& indexUnderPointer);
  // The whole row of that index, in the viewport's coordinates.
  virtual QRect rowRectForIndex(const QModelIndex& index) const = 0;

 private:
  std::shared_ptr<ZKTableRowView> rowView_;
  std::shared_ptr<ZKTableRowView> groupRowView_;
};
