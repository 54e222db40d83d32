#pragma once

#include <QtCore/QPointer>
#include <QtCore/QTimer>
#include <QtWidgets/QMenu>
#include <QtWidgets/QTableView>
#include <cstdint>
#include <memory>

#include "uikit/ZKAwakeFromNib.h"
#include "uikit/ZKTableRowView.h"

class SBDraggingTableView;

// Told the row the pointer came to rest on.
class SBMouseOverDelegate {
 public:
  virtual ~SBMouseOverDelegate() = default;
  virtual void tableViewDidHoverRow(std::int64_t row) = 0;
};

// The questions a hover table asks its controller.
class SBDraggingTableViewDelegate {
 public:
  virtual ~SBDraggingTableViewDelegate() = default;
  // Group rows (headings) get no context menu.
  virtual bool tableViewIsGroupRow(SBDraggingTableView* /*table*/, std::int64_t /*row*/) { return false; }
};

// Sets up a kit table or outline: no row header or grid, whole-row selection, the pointer followed,
// the kit's cell delegate.
void zk_setUpKitItemView(QAbstractItemView* view);

// A table that reports the row the pointer rests on (after 0.3 s without moving), lets the keyboard
// go on from that row, sends its double action on Return and Enter as a double click does, gives a
// context menu only on ordinary rows (marking the clicked row while it is open) and brings its window
// forward on a click.
class SBDraggingTableView : public QTableView, public ZKAwakeFromNib, public ZKRowViewHost {
  Q_OBJECT

 public:
  static constexpr int kHoverDelayMs = 300;
  // Link, generic and private: never copy or move.
  static constexpr int kDraggingSourceOperationMask = 14;

  explicit SBDraggingTableView(QWidget* parent = nullptr);
  ~SBDraggingTableView() override;

  // Not owned; the controller outlives the table or clears it.
  SBDraggingTableViewDelegate* delegate() const { return delegate_; }
  void setDelegate(SBDraggingTableViewDelegate* delegate) { delegate_ = delegate; }
  SBMouseOverDelegate* hoverDelegate() const { return hoverDelegate_; }
  void setHoverDelegate(SBMouseOverDelegate* delegate) { hoverDelegate_ = delegate; }

  std::int64_t hoveredRow() const { return hoveredRow_; }
  void setHoveredRow(std::int64_t row) { hoveredRow_ = row; }
  std::int64_t previouslyHoveredRow() const { return previouslyHoveredRow_; }
  void setPreviouslyHoveredRow(std::int64_t row) { previouslyHoveredRow_ = row; }
  bool isHoverPending() const { return hoverTimer_.isActive(); }

  // The context menu of ordinary rows (the form's menu); not owned.
  QMenu* menu() const { return menu_; }
  void setMenu(QMenu* menu) { menu_ = menu; }
  // The menu for a context-menu request at that viewport point (marking the clicked row), or none for
  // a group row or no row. The selection is left alone.
  QMenu* menuForEvent(const QPoint& viewportPoint);
  int draggingSourceOperationMask() const { return kDraggingSourceOperationMask; }

  void awakeFromNib() override;

  bool isGroupRowIndex(const QModelIndex& index) const override;
  QRect rowRectForIndex(const QModelIndex& index) const override;
  QWidget* rowViewport() const override { return viewport(); }

 Q_SIGNALS:
  // The double action: a double click, Return or Enter.
  void doubleAction(SBDraggingTableView* sender);

 protected:
  void mouseMoveEvent(QMouseEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  bool viewportEvent(QEvent* event) override;

 private:
  void hoverTimerFired();

  SBDraggingTableViewDelegate* delegate_ = nullptr;
  SBMouseOverDelegate* hoverDelegate_ = nullptr;
  std::int64_t hoveredRow_ = -1;
  std::int64_t previouslyHoveredRow_ = -1;
  QTimer hoverTimer_;
  QPointF pointer_;
  bool pointerInside_ = false;
  QPointer<QMenu> menu_;
};
