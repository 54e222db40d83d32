#pragma once

#include <QtCore/QList>
#include <QtCore/QPersistentModelIndex>
#include <QtCore/QTimer>
#include <QtGui/QFont>
#include <QtGui/QImage>

#include "uikit/ZKTableCellView.h"

// Draws the dashboard outline's rows without a widget per row: a group row (emoji, name and the
// disclosure mark at its right end), a module's name, and a module's value in its state (the caution
// icon, the spinner, the result text in its colour, the error icon). A click on a value that offers
// one sends valueClicked with the index clicked, so the click always acts on the row under the
// pointer at that moment. Spinners turn on a timer that redraws only the rows that show one.
class QVDashboardCellView : public ZKTableCellView {
  Q_OBJECT

 public:
  explicit QVDashboardCellView(QObject* parent = nullptr);

  // Takes the theme's fonts, colours and images (at set-up and after every theme change).
  void applyTheme();

  QFont titleFont() const { return titleFont_; }
  QFont valueFont() const { return valueFont_; }
  QFont groupFont() const { return groupFont_; }
  QColor valueColor() const { return valueColor_; }

  // Where the value of a module row is drawn and clicked (empty when the row offers no click).
  QRect valueButtonRect(const QStyleOptionViewItem& option, const QModelIndex& index) const;
  // Where the state icon of a module row is drawn (empty when it shows none).
  QRect stateIconRect(const QStyleOptionViewItem& option, const QModelIndex& index) const;
  // Where a group row's disclosure mark is drawn.
  static QRect disclosureRect(const QRect& cellRect);
  // Indexes of spinners drawn since the last step (the rows the next step redraws).
  int spinningRowCount() const { return int(spinning_.size()); }
  bool isSpinning() const { return spin_.isActive(); }

  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
  bool editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override;
  bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                 const QModelIndex& index) override;

  static constexpr int kRowHeight = 28;

 Q_SIGNALS:
  void valueClicked(const QModelIndex& index);

 private:
  void step();
  void paintGroup(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const;
  void paintName(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const;
  void paintValue(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const;

  QFont titleFont_;
  QFont valueFont_;
  QFont groupFont_;
  QColor titleColor_;
  QColor valueColor_;
  QColor groupColor_;
  QColor indicatorColor_;
  QImage cautionIcon_;
  QImage errorIcon_;
  QImage expandedIcon_;
  QImage collapsedIcon_;
  QTimer spin_;
  int position_ = 0;
  mutable QList<QPersistentModelIndex> spinning_;
  mutable QPointer<QWidget> spinningViewport_;
  QPersistentModelIndex pressed_;
};
