#include "uikit/ZKPopupButtonCellView.h"

#include <QtGui/QPainter>
#include <QtGui/QPainterPath>
#include <QtWidgets/QComboBox>

QWidget* ZKPopupButtonCellView::createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                                             const QModelIndex& index) const {
  if (index.data(ZKChoicesRole).toStringList().isEmpty())
    return ZKTableCellView::createEditor(parent, option, index);
  auto* popup = new QComboBox(parent);
  popup->addItems(index.data(ZKChoicesRole).toStringList());
  // The choice is taken as soon as it is made.
  connect(popup, &QComboBox::activated, this, [this, popup] {
    auto* self = const_cast<ZKPopupButtonCellView*>(this);
    Q_EMIT self->commitData(popup);
    Q_EMIT self->closeEditor(popup);
  });
  return popup;
}

void ZKPopupButtonCellView::setEditorData(QWidget* editor, const QModelIndex& index) const {
  auto* popup = qobject_cast<QComboBox*>(editor);
  if (!popup) return ZKTableCellView::setEditorData(editor, index);
  popup->setCurrentIndex(std::max(0, popup->findText(index.data(Qt::EditRole).toString())));
}

void ZKPopupButtonCellView::setModelData(QWidget* editor, QAbstractItemModel* model,
                                         const QModelIndex& index) const {
  auto* popup = static_cast<QComboBox*>(editor);
  if (popup->currentIndex() >= 0) model->setData(index, popup->currentText(), Qt::EditRole);
}

void ZKPopupButtonCellView::drawContent(QPainter* painter, const QStyleOptionViewItem& option,
                                        const QModelIndex& index, const QRect& rect) const {
  if (index.data(ZKChoicesRole).toStringList().isEmpty()) {
    ZKTableCellView::drawContent(painter, option, index, rect);
    return;
  }
  // Up and down marks at the end, as a pop-up button shows.
  const QRect marks(rect.right() - 8, rect.center().y() - 6, 8, 12);
  painter->save();
  painter->setRenderHint(QPainter::Antialiasing);
  painter->setPen(Qt::NoPen);
  painter->setBrush(textColorFor(option, index));
  QPainterPath up, down;
  up.moveTo(marks.left(), marks.top() + 5);
  up.lineTo(marks.center().x() + 0.5, marks.top());
  up.lineTo(marks.right() + 1, marks.top() + 5);
  down.moveTo(marks.left(), marks.bottom() - 4);
  down.lineTo(marks.center().x() + 0.5, marks.bottom() + 1);
  down.lineTo(marks.right() + 1, marks.bottom() - 4);
  painter->drawPath(up);
  painter->drawPath(down);
  painter->restore();
  ZKTableCellView::drawContent(painter, option, index, rect.adjusted(0, 0, -14, 0));
}
