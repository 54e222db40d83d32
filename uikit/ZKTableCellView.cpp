#include "uikit/ZKTableCellView.h"

#include <QtGui/QKeyEvent>
#include <QtGui/QMouseEvent>
#include <QtGui/QPainter>
#include <QtWidgets/QAbstractItemView>
#include <QtWidgets/QApplication>

#include "uikit/ZKTableRowView.h"

namespace {

QAbstractItemView* itemView(const QStyleOptionViewItem& option) {
  return qobject_cast<QAbstractItemView*>(const_cast<QWidget*>(option.widget));
}

constexpr int kMargin = 6;

}  // namespace

// ---- ZKTableCellView ----

bool ZKTableCellView::isEmphasizedSelection(const QStyleOptionViewItem& option, const QModelIndex& index) {
  if (!(option.state & QStyle::State_Selected)) return false;
  const auto* host = dynamic_cast<const ZKRowViewHost*>(option.widget);
  const ZKTableRowView* rowView = host ? host->rowViewForIndex(index) : nullptr;
  return !rowView || rowView->isEmphasized();
}

QColor ZKTableCellView::textColorFor(const QStyleOptionViewItem& option, const QModelIndex& index) const {
  QColor color = labelTextColors_.value(index.column());
  if (!color.isValid()) {
    const QVariant foreground = index.data(Qt::ForegroundRole);
    if (foreground.canConvert<QColor>()) color = foreground.value<QColor>();
    if (foreground.canConvert<QBrush>() && !color.isValid()) color = foreground.value<QBrush>().color();
  }
  if (!color.isValid()) color = option.palette.color(QPalette::Text);
  if (isEmphasizedSelection(option, index)) {
    // White on a selection dark enough to carry it; a light selection, or none, keeps the row's colour.
    const auto* host = dynamic_cast<const ZKRowViewHost*>(option.widget);
    const ZKTableRowView* rowView = host ? host->rowViewForIndex(index) : nullptr;
    const QColor selection =
        rowView ? rowView->selectionTint() : option.palette.color(QPalette::Active, QPalette::Highlight);
    if (selection.isValid() && selection.alpha() > 0 && selection.lightnessF() < 0.6) color = Qt::white;
  }
  if (!(option.state & QStyle::State_Enabled)) color.setAlphaF(color.alphaF() * 0.5f);
  return color;
}

void ZKTableCellView::drawRowPart(QPainter* painter, const QStyleOptionViewItem& option,
                                  const QModelIndex& index) const {
  const auto* host = dynamic_cast<const ZKRowViewHost*>(option.widget);
  const ZKTableRowView* rowView = host ? host->rowViewForIndex(index) : nullptr;
  if (!rowView) {
    // The desktop's own row look.
    QStyleOptionViewItem background = option;
    background.text.clear();
    background.icon = QIcon();
    background.features &= ~QStyleOptionViewItem::HasDisplay;
    const QStyle* style = option.widget ? option.widget->style() : QApplication::style();
    style->drawPrimitive(QStyle::PE_PanelItemViewItem, &background, painter, option.widget);
    return;
  }
  rowView->drawRect(*painter, QRectF(option.rect), QRectF(host->rowRectForIndex(index)),
                    option.state & QStyle::State_Selected);
}

void ZKTableCellView::paint(QPainter* painter, const QStyleOptionViewItem& option,
                            const QModelIndex& index) const {
  QStyleOptionViewItem opt = option;
  initStyleOption(&opt, index);
  painter->save();
  painter->setClipRect(opt.rect, Qt::IntersectClip);
  drawRowPart(painter, opt, index);
  drawContent(painter, opt, index, opt.rect.adjusted(kMargin, 0, -kMargin, 0));
  painter->restore();
}

void ZKTableCellView::drawContent(QPainter* painter, const QStyleOptionViewItem& option,
                                  const QModelIndex& index, const QRect& rect) const {
  QRect left = rect;
  const QString emoji = index.data(ZKEmojiRole).toString();
  if (!emoji.isEmpty()) {
    const QRect square(left.x(), left.y(), left.height(), left.height());
    emojiCell_.drawInteriorWithFrame(*painter, QRectF(square), emoji);
    left.setLeft(square.right() + 5);
  }
  if (!option.icon.isNull()) {
    const int side = std::min(option.decorationSize.height(), left.height());
    const QRect iconRect(left.x(), left.y() + (left.height() - side) / 2, side, side);
    option.icon.paint(painter, iconRect, Qt::AlignCenter,
                      option.state & QStyle::State_Enabled ? QIcon::Normal : QIcon::Disabled);
    left.setLeft(iconRect.right() + 5);
  }
  painter->setFont(option.font);
  painter->setPen(textColorFor(option, index));
  const QString text = option.fontMetrics.elidedText(option.text, Qt::ElideRight, left.width());
  painter->drawText(left, Qt::AlignVCenter | Qt::AlignLeft | Qt::TextSingleLine, text);
}

QSize ZKTableCellView::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
  QSize size = QStyledItemDelegate::sizeHint(option, index);
  size.setHeight(std::max(size.height(), 24));
  return size;
}

// ---- ZKButtonTableCellView ----

ZKButtonTableCellView::ZKButtonTableCellView(QObject* parent)
    : ZKTableCellView(parent), button_(std::make_unique<ZKGrayYosemiteButtonCell>()) {
  spin_.setInterval(YRKSpinningProgressIndicator::kFrameIntervalMs);
  connect(&spin_, &QTimer::timeout, this, &ZKButtonTableCellView::step);
}

void ZKButtonTableCellView::setButtonCellClass(const QString& className) {
  if (auto cell = ZKYosemiteButtonCell::cellWithClassName(className)) button_ = std::move(cell);
}

QRect ZKButtonTableCellView::buttonRect(const QStyleOptionViewItem& option, const QModelIndex& index) const {
  const QString title = index.data(ZKButtonTitleRole).toString();
  if (title.isEmpty()) return {};
  const int width = option.fontMetrics.horizontalAdvance(title) + 20;
  const int height = std::min(option.rect.height() - 4, 22);
  return QRect(option.rect.right() - kMargin - width + 1,
               option.rect.y() + (option.rect.height() - height) / 2, width, height);
}

QRect ZKButtonTableCellView::indicatorRect(const QStyleOptionViewItem& option,
                                           const QModelIndex& index) const {
  if (!index.data(ZKBusyRole).toBool()) return {};
  const QRect button = buttonRect(option, index);
  const int right = button.isNull() ? option.rect.right() - kMargin : button.left() - 6;
  const int side = std::min(16, option.rect.height() - 4);
  return QRect(right - side + 1, option.rect.y() + (option.rect.height() - side) / 2, side, side);
}

void ZKButtonTableCellView::drawContent(QPainter* painter, const QStyleOptionViewItem& option,
                                        const QModelIndex& index, const QRect& rect) const {
  QRect content = rect;
  const QRect button = buttonRect(option, index);
  if (!button.isNull()) {
    button_->setTitle(index.data(ZKButtonTitleRole).toString());
    button_->setFont(option.font);
    button_->setEnabled(option.state & QStyle::State_Enabled);
    button_->setHovered(hovered_ == index);
    button_->setMouseDown(pressed_ == index);
    button_->drawBezelWithFrame(*painter, QRectF(button));
    button_->drawInteriorWithFrame(*painter, QRectF(button));
    button_->setHovered(false);
    button_->setMouseDown(false);
    content.setRight(button.left() - 6);
  }
  const QRect indicator = indicatorRect(option, index);
  if (!indicator.isNull()) {
    const QColor color = isEmphasizedSelection(option, index) && textColorFor(option, index) == Qt::white
                             ? QColor(Qt::white)
                             : indicatorColor_;
    YRKSpinningProgressIndicator::Look look;
    look.color = color;
    look.finColors = YRKSpinningProgressIndicator::finColorsForPosition(color, position_, 0.15);
    YRKSpinningProgressIndicator::paintIndicator(*painter, QRectF(indicator), look);
    content.setRight(indicator.left() - 6);
    // Keeps turning while a busy row is in view.
    if (auto* view = itemView(option)) {
      spinningViews_.insert(view->viewport(), view->viewport());
      if (!spin_.isActive()) const_cast<QTimer&>(spin_).start();
    }
  }
  ZKTableCellView::drawContent(painter, option, index, content);
}

void ZKButtonTableCellView::step() {
  position_ = (position_ + 1) % YRKSpinningProgressIndicator::kFinCount;
  const auto views = spinningViews_;
  spinningViews_.clear();
  if (views.isEmpty()) {
    spin_.stop();
    return;
  }
  // Only the rows that drew an indicator are drawn again; they re-register while still busy.
  for (const auto& view : views)
    if (view) view->update();
}

bool ZKButtonTableCellView::editorEvent(QEvent* event, QAbstractItemModel* model,
                                        const QStyleOptionViewItem& option, const QModelIndex& index) {
  const QRect button = buttonRect(option, index);
  if (button.isNull()) return ZKTableCellView::editorEvent(event, model, option, index);
  auto* view = itemView(option);
  switch (event->type()) {
    case QEvent::MouseMove: {
      const auto* mouse = static_cast<QMouseEvent*>(event);
      const QPersistentModelIndex now = button.contains(mouse->position().toPoint()) ? index : QModelIndex();
      if (now != hovered_) {
        hovered_ = now;
        if (view) view->viewport()->update(option.rect);
      }
      return false;
    }
    case QEvent::MouseButtonPress: {
      const auto* mouse = static_cast<QMouseEvent*>(event);
      if (mouse->button() != Qt::LeftButton || !button.contains(mouse->position().toPoint())) return false;
      if (!(option.state & QStyle::State_Enabled)) return true;
      pressed_ = index;
      if (view) view->viewport()->update(option.rect);
      return true;
    }
    case QEvent::MouseButtonRelease: {
      const auto* mouse = static_cast<QMouseEvent*>(event);
      if (pressed_ != index) return false;
      pressed_ = QModelIndex();
      if (view) view->viewport()->update(option.rect);
      // A release outside the button cancels the click.
      if (button.contains(mouse->position().toPoint())) Q_EMIT buttonClicked(index);
      return true;
    }
    default:
      return ZKTableCellView::editorEvent(event, model, option, index);
  }
}

// ---- ZKDetailTableCellView ----

QSize ZKDetailTableCellView::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
  QSize size = ZKButtonTableCellView::sizeHint(option, index);
  size.setHeight(std::max(size.height(), option.fontMetrics.height() * 2 + 12));
  return size;
}

void ZKDetailTableCellView::drawContent(QPainter* painter, const QStyleOptionViewItem& option,
                                        const QModelIndex& index, const QRect& rect) const {
  const QString detail = index.data(ZKDetailTextRole).toString();
  if (detail.isEmpty()) {
    ZKButtonTableCellView::drawContent(painter, option, index, rect);
    return;
  }
  // The title goes through the base (button, indicator, emoji, image) in the upper half.
  const int line = option.fontMetrics.height();
  const int top = rect.y() + (rect.height() - 2 * line - 2) / 2;
  QStyleOptionViewItem upper = option;
  ZKButtonTableCellView::drawContent(painter, upper, index, QRect(rect.x(), top, rect.width(), line));
  QFont small = option.font;
  small.setPixelSize(std::max(9, (small.pixelSize() > 0 ? small.pixelSize() : 13) - 2));
  painter->setFont(small);
  QColor color = textColorFor(option, index);
  color.setAlphaF(color.alphaF() * 0.7f);
  painter->setPen(color);
  const QRect lower(rect.x(), top + line + 2, rect.width(), line);
  painter->drawText(lower, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                    QFontMetrics(small).elidedText(detail, detailElideMode(), lower.width()));
}

// ---- DDSwitchTableCellView ----

QRect DDSwitchTableCellView::switchRect(const QStyleOptionViewItem& option) const {
  const int height = std::min(22, option.rect.height() - 4);
  const int width = height * 38 / 22;
  return QRect(option.rect.right() - kMargin - width + 1,
               option.rect.y() + (option.rect.height() - height) / 2, width, height);
}

void DDSwitchTableCellView::drawContent(QPainter* painter, const QStyleOptionViewItem& option,
                                        const QModelIndex& index, const QRect& rect) const {
  if (!index.data(Qt::CheckStateRole).isValid()) {
    ZKTableCellView::drawContent(painter, option, index, rect);
    return;
  }
  const QRect box = switchRect(option);
  const bool checked = index.data(Qt::CheckStateRole).toInt() == Qt::Checked;
  const ITSwitchLook look = ITSwitch::restingLook(
      QSizeF(box.size()), checked, option.state & QStyle::State_Enabled, tintColor_, disabledBorderColor_);
  ITSwitch::paintSwitch(*painter, QRectF(box), look);
  QStyleOptionViewItem textOption = option;
  textOption.features &= ~QStyleOptionViewItem::HasCheckIndicator;
  ZKTableCellView::drawContent(painter, textOption, index,
                               QRect(rect.x(), rect.y(), box.left() - 6 - rect.x(), rect.height()));
}

bool DDSwitchTableCellView::toggle(QAbstractItemModel* model, const QModelIndex& index) {
  if (!(index.flags() & Qt::ItemIsEnabled)) return false;
  const bool checked = index.data(Qt::CheckStateRole).toInt() != Qt::Checked;
  if (!model->setData(index, checked ? Qt::Checked : Qt::Unchecked, Qt::CheckStateRole)) return false;
  Q_EMIT switchToggled(index, checked);
  return true;
}

bool DDSwitchTableCellView::editorEvent(QEvent* event, QAbstractItemModel* model,
                                        const QStyleOptionViewItem& option, const QModelIndex& index) {
  if (!index.data(Qt::CheckStateRole).isValid())
    return ZKTableCellView::editorEvent(event, model, option, index);
  switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick: {
      const auto* mouse = static_cast<QMouseEvent*>(event);
      return mouse->button() == Qt::LeftButton && switchRect(option).contains(mouse->position().toPoint());
    }
    case QEvent::MouseButtonRelease: {
      const auto* mouse = static_cast<QMouseEvent*>(event);
      if (mouse->button() != Qt::LeftButton || !switchRect(option).contains(mouse->position().toPoint()))
        return false;
      toggle(model, index);
      return true;
    }
    case QEvent::KeyPress: {
      const auto* key = static_cast<QKeyEvent*>(event);
      if (key->key() != Qt::Key_Space) return false;
      toggle(model, index);
      return true;
    }
    default:
      return false;
  }
}
