#pragma once

#include <QtCore/QHash>
#include <QtCore/QPersistentModelIndex>
#include <QtCore/QTimer>
#include <QtWidgets/QStyledItemDelegate>
#include <memory>

#include "uikit/ITSwitch.h"
#include "uikit/QVEmojiButtonCell.h"
#include "uikit/YRKSpinningProgressIndicator.h"
#include "uikit/ZKYosemiteButtonCell.h"

class ZKTableRowView;

// Model roles the kit's cells draw besides the text (Qt::DisplayRole), the image
// (Qt::DecorationRole), the on/off value (Qt::CheckStateRole) and the font and text colour roles.
enum ZKTableCellRole : int {
  ZKDetailTextRole = Qt::UserRole + 0x4b00,  // the second line of a two-line row
  ZKButtonTitleRole,                         // the title of the row's button; none: no button
  ZKBusyRole,                                // true while the row's activity indicator turns
  ZKEmojiRole,                               // an emoji drawn before the text
  ZKChoicesRole,                             // the titles a choice cell offers (a string list)
  ZKColorRole,                               // the colour a colour well shows (a QColor)
};

// The kit's table cell: a painting delegate, so that a table of hundreds of rows makes no widget per
// row. It draws the row view's part of the row (or the desktop's look when the view has none), an
// optional emoji and image, and the text; a selected row in a dark selection shows white text.
// `labelTextColors` gives a column its own text colour.
class ZKTableCellView : public QStyledItemDelegate {
  Q_OBJECT

 public:
  explicit ZKTableCellView(QObject* parent = nullptr) : QStyledItemDelegate(parent) {}

  QColor labelTextColor(int column) const { return labelTextColors_.value(column); }
  void setLabelTextColor(int column, const QColor& color) { labelTextColors_.insert(column, color); }

  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

  // The colour the cell's text is drawn in.
  QColor textColorFor(const QStyleOptionViewItem& option, const QModelIndex& index) const;
  // Whether the row of that index shows the selected, emphasized look.
  static bool isEmphasizedSelection(const QStyleOptionViewItem& option, const QModelIndex& index);

 protected:
  // Draws the row's background part; answers the rectangle left for the cell's content.
  void drawRowPart(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const;
  // Draws emoji, image and text in `rect`.
  virtual void drawContent(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index,
                           const QRect& rect) const;

 private:
  QHash<int, QColor> labelTextColors_;
  QVEmojiButtonCell emojiCell_;
};

// A row with a button at its end (ZKButtonTitleRole) and an activity indicator before it (ZKBusyRole).
// A click on the button sends buttonClicked; the indicators of busy rows turn while any is visible.
class ZKButtonTableCellView : public ZKTableCellView {
  Q_OBJECT

 public:
  explicit ZKButtonTableCellView(QObject* parent = nullptr);

  // The button's look, by cell class name.
  void setButtonCellClass(const QString& className);
  ZKYosemiteButtonCell* buttonCell() const { return button_.get(); }
  // The indicator's colour (the theme's, set by its owner); white in a selected row.
  QColor indicatorColor() const { return indicatorColor_; }
  void setIndicatorColor(const QColor& color) { indicatorColor_ = color; }

  QRect buttonRect(const QStyleOptionViewItem& option, const QModelIndex& index) const;
  QRect indicatorRect(const QStyleOptionViewItem& option, const QModelIndex& index) const;
  int indicatorPosition() const { return position_; }

  bool editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override;

 Q_SIGNALS:
  void buttonClicked(const QModelIndex& index);

 protected:
  void drawContent(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index,
                   const QRect& rect) const override;

 private:
  void step();

  std::unique_ptr<ZKYosemiteButtonCell> button_;
  QColor indicatorColor_ = Qt::black;
  QTimer spin_;
  int position_ = 0;
  mutable QHash<QWidget*, QPointer<QWidget>> spinningViews_;
  QPersistentModelIndex pressed_;
  QPersistentModelIndex hovered_;
};

// A two-line row: the title over a smaller detail text (ZKDetailTextRole).
class ZKDetailTableCellView : public ZKButtonTableCellView {
  Q_OBJECT

 public:
  explicit ZKDetailTableCellView(QObject* parent = nullptr) : ZKButtonTableCellView(parent) {}
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

 protected:
  void drawContent(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index,
                   const QRect& rect) const override;
  // Where a detail too long for the row is shortened.
  virtual Qt::TextElideMode detailElideMode() const { return Qt::ElideRight; }
};

// An on/off row: the title and a switch at the row's end, on the row's Qt::CheckStateRole. A click
// on the switch or Space on the current row toggles it (not on a disabled row) and sends switchToggled.
class DDSwitchTableCellView : public ZKTableCellView {
  Q_OBJECT

 public:
  explicit DDSwitchTableCellView(QObject* parent = nullptr) : ZKTableCellView(parent) {}

  QColor tintColor() const { return tintColor_; }
  void setTintColor(const QColor& color) { tintColor_ = color; }
  QColor disabledBorderColor() const { return disabledBorderColor_; }
  void setDisabledBorderColor(const QColor& color) { disabledBorderColor_ = color; }

  QRect switchRect(const QStyleOptionViewItem& option) const;
  bool editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override;

 Q_SIGNALS:
  void switchToggled(const QModelIndex& index, bool checked);

 protected:
  void drawContent(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index,
                   const QRect& rect) const override;

 private:
  bool toggle(QAbstractItemModel* model, const QModelIndex& index);

  QColor tintColor_;
  QColor disabledBorderColor_;
};
