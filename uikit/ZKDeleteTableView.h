#pragma once

#include <QtCore/QPointer>
#include <QtWidgets/QMenu>
#include <QtWidgets/QTableView>

#include "uikit/ZKAwakeFromNib.h"
#include "uikit/ZKTableRowView.h"

class ZKDeleteTableView;

// Removes the table's selected items when the user presses a Delete key in it.
class ZKDeleteTableViewDelegate {
 public:
  virtual ~ZKDeleteTableViewDelegate() = default;
  virtual void tableViewDeleteFromKeyboard(ZKDeleteTableView* table) = 0;
};

// The editors' table: Backspace and Delete ask the delete delegate to remove the selected rows; an
// editable text cell edits with one click; a right click on a row outside the selection selects that
// row alone (inside it, or on no row, keeps the selection) before the context menu opens, so that the
// menu's action applies to the row clicked or to the whole selection. A drag over a row that the model
// does not take as a drop on that row drops between rows instead: before the row over its upper half,
// after it over its lower half, so that a row dragged onto another row takes that row's place.
class ZKDeleteTableView : public QTableView, public ZKAwakeFromNib, public ZKRowViewHost {
  Q_OBJECT

 public:
  explicit ZKDeleteTableView(QWidget* parent = nullptr);

  ZKDeleteTableViewDelegate* deleteDelegate() const { return deleteDelegate_; }
  void setDeleteDelegate(ZKDeleteTableViewDelegate* delegate) { deleteDelegate_ = delegate; }
  QMenu* menu() const { return menu_; }
  void setMenu(QMenu* menu) { menu_ = menu; }

  using QTableView::edit;

  void awakeFromNib() override {}
  bool isGroupRowIndex(const QModelIndex&) const override { return false; }
  QRect rowRectForIndex(const QModelIndex& index) const override;
  QWidget* rowViewport() const override { return viewport(); }

 protected:
  bool edit(const QModelIndex& index, EditTrigger trigger, QEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  void rightMouseDown(const QPoint& viewportPoint);
  // Where the drop of the event lands: its own point, or the line between rows nearest to it when the
  // model refuses a drop on the row under it.
  QPoint dropPoint(const QDropEvent* event) const;

  ZKDeleteTableViewDelegate* deleteDelegate_ = nullptr;
  // Whether a cell's delegate took the press being handled (a switch, a button, a colour well).
  bool delegateTookPress_ = false;
  QPointer<QMenu> menu_;
};
