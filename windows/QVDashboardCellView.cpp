#include "windows/QVDashboardCellView.h"

#include <QtGui/QHelpEvent>
#include <QtGui/QMouseEvent>
#include <QtGui/QPainter>
#include <QtWidgets/QAbstractItemView>
#include <QtWidgets/QToolTip>

#include "uikit/NSImage+TintColor.h"
#include "uikit/YRKSpinningProgressIndicator.h"
#include "uikit/ZKThemeManager.h"
#include "windows/QVDashboardOutlineModel.h"

namespace {

constexpr int kMargin = 10;
constexpr int kIconSide = 14;
constexpr int kSpinnerSide = 16;

QColor themeColor(const char* key, const QColor& fallback) {
  const QColor color = ZKThemeManager::sharedManager().colorForKey(QString::fromLatin1(key));
  return color.isValid() ? color : fallback;
}

QFont themeFont(const char* key, int pointSize, bool bold) {
  if (auto font = ZKThemeManager::sharedManager().fontForKey(QString::fromLatin1(key))) return *font;
  QFont font;
  font.setPointSize(pointSize);
  font.setBold(bold);
  return font;
}

bool isGroup(const QModelIndex& index) { return index.data(QVDashboardOutlineModel::IsGroupRole).toBool(); }

QVModuleCellState stateOf(const QModelIndex& index) {
  return QVModuleCellState(index.data(QVDashboardOutlineModel::CellStateRole).toInt());
}

QAbstractItemView* itemView(const QStyleOptionViewItem& option) {
  return qobject_cast<QAbstractItemView*>(const_cast<QWidget*>(option.widget));
}

// The whole row of a group spans the outline; its cell rectangle is the row's.
QRect groupRowRect(const QStyleOptionViewItem& option) {
  if (auto* view = itemView(option))
    return QRect(0, option.rect.y(), view->viewport()->width(), option.rect.height());
  return option.rect;
}

}  // namespace

QVDashboardCellView::QVDashboardCellView(QObject* parent) : ZKTableCellView(parent) {
  spin_.setInterval(YRKSpinningProgressIndicator::kFrameIntervalMs);
  connect(&spin_, &QTimer::timeout, this, &QVDashboardCellView::step);
  applyTheme();
}

void QVDashboardCellView::applyTheme() {
  titleFont_ = themeFont("tableTitleFont", 12, false);
  valueFont_ = themeFont("tableValueFont", 12, false);
  groupFont_ = themeFont("tableGroupFont", 11, true);
  titleColor_ = themeColor("tableTitleColor", Qt::black);
  valueColor_ = themeColor("table-value-color", Qt::black);
  groupColor_ = themeColor("tableGroupColor", Qt::darkGray);
  indicatorColor_ = themeColor("progressIndicatorColor", valueColor_);
  cautionIcon_ =
      zk_imageWithName(QStringLiteral("icon-caution"), themeColor("cautionColor", QColor(240, 170, 0)));
  errorIcon_ = zk_imageWithName(QStringLiteral("icon-error"), themeColor("errorColor", Qt::red));
  expandedIcon_ = zk_imageWithName(QStringLiteral("icon-expanded"), groupColor_);
  collapsedIcon_ = zk_imageWithName(QStringLiteral("icon-collapsed"), groupColor_);
}

QSize QVDashboardCellView::sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const {
  return QSize(option.rect.width(), kRowHeight);
}

QRect QVDashboardCellView::disclosureRect(const QRect& cellRect) {
  const int side = kIconSide;
  // The mark sits 10 points in from the row's right end.
  return QRect(cellRect.right() + 1 - side - kMargin, cellRect.y() + (cellRect.height() - side) / 2, side,
               side);
}

QRect QVDashboardCellView::stateIconRect(const QStyleOptionViewItem& option, const QModelIndex& index) const {
  if (isGroup(index) || index.column() != QVDashboardOutlineModel::ValueColumn) return {};
  const auto state = stateOf(index);
  if (state != QVModuleCellState::MissingFields && state != QVModuleCellState::Failure) return {};
  const QRect& r = option.rect;
  return QRect(r.right() + 1 - kMargin - kIconSide, r.y() + (r.height() - kIconSide) / 2, kIconSide,
               kIconSide);
}

QRect QVDashboardCellView::valueButtonRect(const QStyleOptionViewItem& option,
                                           const QModelIndex& index) const {
  if (isGroup(index) || index.column() != QVDashboardOutlineModel::ValueColumn) return {};
  switch (stateOf(index)) {
    case QVModuleCellState::Running:
      return {};
    case QVModuleCellState::Success:
      // The value is a link only when it has somewhere to go.
      if (index.data(QVDashboardOutlineModel::ClickTargetRole).toString().trimmed().isEmpty()) return {};
      break;
    case QVModuleCellState::MissingFields:
    case QVModuleCellState::Failure:
      break;
  }
  return option.rect.adjusted(kMargin / 2, 0, -kMargin / 2, 0);
}

void QVDashboardCellView::paint(QPainter* painter, const QStyleOptionViewItem& option,
                                const QModelIndex& index) const {
  QStyleOptionViewItem opt = option;
  initStyleOption(&opt, index);
  painter->save();
  if (isGroup(index)) {
    opt.rect = groupRowRect(option);
    painter->setClipRect(opt.rect, Qt::IntersectClip);
    drawRowPart(painter, opt, index);
    paintGroup(painter, opt, index);
  } else {
    painter->setClipRect(opt.rect, Qt::IntersectClip);
    drawRowPart(painter, opt, index);
    if (index.column() == QVDashboardOutlineModel::NameColumn) {
      paintName(painter, opt, index);
    } else {
      paintValue(painter, opt, index);
    }
  }
  painter->restore();
}

void QVDashboardCellView::paintGroup(QPainter* painter, const QStyleOptionViewItem& option,
                                     const QModelIndex& index) const {
  const QRect mark = disclosureRect(option.rect);
  const bool expanded = index.data(QVDashboardOutlineModel::IsExpandedRole).toBool();
  const QImage& image = expanded ? expandedIcon_ : collapsedIcon_;
  if (!image.isNull()) {
    painter->setRenderHint(QPainter::SmoothPixmapTransform);
    painter->drawImage(QRectF(mark), image);
  }
  QRect text = option.rect.adjusted(kMargin, 0, 0, 0);
  text.setRight(mark.left() - 6);
  painter->setFont(groupFont_);
  painter->setPen(groupColor_);
  const QFontMetrics metrics(groupFont_);
  painter->drawText(text, Qt::AlignVCenter | Qt::AlignLeft | Qt::TextSingleLine,
                    metrics.elidedText(index.data(Qt::DisplayRole).toString(), Qt::ElideRight, text.width()));
}

void QVDashboardCellView::paintName(QPainter* painter, const QStyleOptionViewItem& option,
                                    const QModelIndex& index) const {
  const QRect text = option.rect.adjusted(kMargin, 0, -4, 0);
  painter->setFont(titleFont_);
  painter->setPen(titleColor_);
  const QFontMetrics metrics(titleFont_);
  painter->drawText(text, Qt::AlignVCenter | Qt::AlignLeft | Qt::TextSingleLine,
                    metrics.elidedText(index.data(Qt::DisplayRole).toString(), Qt::ElideRight, text.width()));
}

void QVDashboardCellView::paintValue(QPainter* painter, const QStyleOptionViewItem& option,
                                     const QModelIndex& index) const {
  const QRect& r = option.rect;
  switch (stateOf(index)) {
    case QVModuleCellState::MissingFields:
    case QVModuleCellState::Failure: {
      const QImage& icon = stateOf(index) == QVModuleCellState::MissingFields ? cautionIcon_ : errorIcon_;
      if (!icon.isNull()) {
        painter->setRenderHint(QPainter::SmoothPixmapTransform);
        painter->drawImage(QRectF(stateIconRect(option, index)), icon);
      }
      return;
    }
    case QVModuleCellState::Running: {
      const QRectF box(r.right() + 1 - kMargin - kSpinnerSide, r.y() + (r.height() - kSpinnerSide) / 2.0,
                       kSpinnerSide, kSpinnerSide);
      YRKSpinningProgressIndicator::Look look;
      look.color = indicatorColor_;
      look.finColors = YRKSpinningProgressIndicator::finColorsForPosition(indicatorColor_, position_, 0.15);
      YRKSpinningProgressIndicator::paintIndicator(*painter, box, look);
      if (auto* view = itemView(option)) {
        spinningViewport_ = view->viewport();
        const QPersistentModelIndex persistent(index);
        if (!spinning_.contains(persistent)) spinning_.push_back(persistent);
        if (!spin_.isActive()) const_cast<QTimer&>(spin_).start();
      }
      return;
    }
    case QVModuleCellState::Success: {
      QColor color = index.data(QVDashboardOutlineModel::ValueColorRole).value<QColor>();
      if (!color.isValid()) color = valueColor_;
      QFont font = valueFont_;
      const bool link = !valueButtonRect(option, index).isNull();
      painter->setFont(font);
      painter->setPen(color);
      const QRect text = r.adjusted(4, 0, -kMargin, 0);
      const QFontMetrics metrics(font);
      painter->drawText(
          text, Qt::AlignVCenter | Qt::AlignRight | Qt::TextSingleLine,
          metrics.elidedText(index.data(Qt::DisplayRole).toString(), Qt::ElideLeft, text.width()));
      if (link && option.state & QStyle::State_MouseOver) {
        // The value under the pointer shows that it opens something.
        const int width =
            std::min(metrics.horizontalAdvance(index.data(Qt::DisplayRole).toString()), text.width());
        const int y = text.y() + (text.height() + metrics.ascent()) / 2 + 2;
        painter->drawLine(text.right() - width + 1, y, text.right(), y);
      }
      return;
    }
  }
}

void QVDashboardCellView::step() {
  position_ = (position_ + 1) % YRKSpinningProgressIndicator::kFinCount;
  const auto rows = spinning_;
  spinning_.clear();
  auto* viewport = spinningViewport_.data();
  auto* view = viewport ? qobject_cast<QAbstractItemView*>(viewport->parentWidget()) : nullptr;
  if (rows.isEmpty() || !view) {
    spin_.stop();
    return;
  }
  // Only the spinners' cells are drawn again; they register anew while they still spin.
  for (const auto& index : rows)
    if (index.isValid()) viewport->update(view->visualRect(index));
}

bool QVDashboardCellView::editorEvent(QEvent* event, QAbstractItemModel* model,
                                      const QStyleOptionViewItem& option, const QModelIndex& index) {
  if (event->type() != QEvent::MouseButtonPress && event->type() != QEvent::MouseButtonRelease)
    return ZKTableCellView::editorEvent(event, model, option, index);
  const auto* mouse = static_cast<QMouseEvent*>(event);
  if (mouse->button() != Qt::LeftButton) return false;
  const QRect button = valueButtonRect(option, index);
  const bool inside = !button.isNull() && button.contains(mouse->position().toPoint());
  if (event->type() == QEvent::MouseButtonPress) {
    pressed_ = inside ? QPersistentModelIndex(index) : QPersistentModelIndex();
    return inside;
  }
  // A release on the row pressed: the click acts on the row under the pointer now.
  const bool clicked = inside && pressed_.isValid() && QModelIndex(pressed_) == index;
  pressed_ = QPersistentModelIndex();
  if (clicked) Q_EMIT valueClicked(index);
  return clicked;
}

bool QVDashboardCellView::helpEvent(QHelpEvent* event, QAbstractItemView* view,
                                    const QStyleOptionViewItem& option, const QModelIndex& index) {
  if (event->type() == QEvent::ToolTip && !isGroup(index)) {
    const QRect icon = stateIconRect(option, index);
    const QString tip = icon.contains(event->pos())
                            ? index.data(QVDashboardOutlineModel::IconToolTipRole).toString()
                            : index.data(Qt::ToolTipRole).toString();
    if (tip.isEmpty()) {
      QToolTip::hideText();
    } else {
      QToolTip::showText(event->globalPos(), tip, view);
    }
    return true;
  }
  return ZKTableCellView::helpEvent(event, view, option, index);
}
