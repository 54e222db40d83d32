#pragma once

#include <QtCore/QPointer>
#include <QtCore/QTimer>
#include <QtWidgets/QMenu>
#include <QtWidgets/QTreeView>
#include <cstdint>

#include "uikit/ZKAwakeFromNib.h"
#include "uikit/ZKTableRowView.h"

class SBOutlineView;

// Told the row the pointer came to rest on (by whoever tracks it for the outline).
class SBOutlineViewHoverDelegate {
 public:
  virtual ~SBOutlineViewHoverDelegate() = default;
  virtual void outlineViewDidHoverRow(std::int64_t row) = 0;
};

// The questions an outline asks its controller.
class SBOutlineViewDelegate {
 public:
  virtual ~SBOutlineViewDelegate() = default;
  // Group items (the dashboard's groups) get no context menu.
  virtual bool outlineViewIsGroupItem(SBOutlineView* /*outline*/, const QModelIndex& /*item*/) {
    return false;
  }
};

// The outline of groups and their rows: no disclosure triangles (groups open and close by code), a
// context menu only on ordinary rows (marking the clicked row while it is open), its window brought
// forward on a click. Rows are drawn by the row views the controller sets, one drawing object for all
// rows.
class SBOutlineView : public QTreeView, public ZKAwakeFromNib, public ZKRowViewHost {
  Q_OBJECT

 public:
  static constexpr int kDraggingSourceOperationMask = 14;

  explicit SBOutlineView(QWidget* parent = nullptr);
  ~SBOutlineView() override;

  SBOutlineViewDelegate* delegate() const { return delegate_; }
  void setDelegate(SBOutlineViewDelegate* delegate) { delegate_ = delegate; }
  SBOutlineViewHoverDelegate* hoverDelegate() const { return hoverDelegate_; }
  void setHoverDelegate(SBOutlineViewHoverDelegate* delegate) { hoverDelegate_ = delegate; }
  std::int64_t hoveredRow() const { return hoveredRow_; }
  void setHoveredRow(std::int64_t row) { hoveredRow_ = row; }
  std::int64_t previouslyHoveredRow() const { return previouslyHoveredRow_; }
  void setPreviouslyHoveredRow(std::int64_t row) { previouslyHoveredRow_ = row; }
  QTimer* hoverTimer() const { return hoverTimer_; }
  void setHoverTimer(QTimer* timer) { hoverTimer_ = timer; }

  QMenu* menu() const { return menu_; }
  void setMenu(QMenu* menu) { menu_ = menu; }
  QMenu* menuForEvent(const QPoint& viewportPoint);

  // The row (in display order, counting open groups' rows) of an item, and the item of a row.
  int rowForItem(const QModelIndex& item) const;
  QModelIndex itemAtRow(int row) const;
  // No disclosure triangle anywhere: the zero rectangle.
  QRect frameOfOutlineCellAtRow(int) const { return {}; }
  int draggingSourceOperationMask() const { return kDraggingSourceOperationMask; }

  void awakeFromNib() override;

  bool isGroupRowIndex(const QModelIndex& index) const override;
  QRect rowRectForIndex(const QModelIndex& index) const override;
  QWidget* rowViewport() const override { return viewport(); }

 protected:
  void mouseMoveEvent(QMouseEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  void drawBranches(QPainter* painter, const QRect& rect, const QModelIndex& index) const override;
  void drawRow(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;

 private:
  SBOutlineViewDelegate* delegate_ = nullptr;
  SBOutlineViewHoverDelegate* hoverDelegate_ = nullptr;
  std::int64_t hoveredRow_ = -1;
  std::int64_t previouslyHoveredRow_ = -1;
  QPointer<QTimer> hoverTimer_;
  QPointer<QMenu> menu_;
};
