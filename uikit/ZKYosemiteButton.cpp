#include "uikit/ZKYosemiteButton.h"

#include <QtGui/QFontMetrics>
#include <QtGui/QMouseEvent>
#include <QtGui/QPainter>

ZKYosemiteButton::ZKYosemiteButton(QWidget* parent)
    : QAbstractButton(parent), cell_(std::make_unique<ZKYosemiteButtonCell>()) {
  setCursor(Qt::ArrowCursor);
  setFocusPolicy(Qt::StrongFocus);
  setAttribute(Qt::WA_Hover);
  fade_.setDuration(200);
  connect(&fade_, &QVariantAnimation::valueChanged, this, [this](const QVariant& v) {
    alpha_ = v.toDouble();
    update();
  });
}

ZKYosemiteButton::ZKYosemiteButton(const QString& cellClass, const QString& title, QWidget* parent)
    : ZKYosemiteButton(parent) {
  setText(title);
  setCellClass(cellClass);
  awakeFromNib();
}

void ZKYosemiteButton::setCell(std::unique_ptr<ZKYosemiteButtonCell> cell) {
  if (!cell) return;
  cell_ = std::move(cell);
  update();
}

void ZKYosemiteButton::setCellClass(const QString& className) {
  if (auto cell = ZKYosemiteButtonCell::cellWithClassName(className)) setCell(std::move(cell));
}

void ZKYosemiteButton::awakeFromNib() {
  cell_->awakeFromNib();
  alpha_ = isEnabled() ? 1.0 : 0.5;
  updateEnabled();
}

void ZKYosemiteButton::setEnabled(bool enabled) {
  QAbstractButton::setEnabled(enabled);
  updateEnabled();
}

void ZKYosemiteButton::updateEnabled() {
  const double target = isEnabled() ? 1.0 : 0.5;
  if (qFuzzyCompare(alpha_, target)) return;
  fade_.stop();
  if (!isVisible()) {
    alpha_ = target;
    return;
  }
  fade_.setStartValue(alpha_);
  fade_.setEndValue(target);
  fade_.start();
}

void ZKYosemiteButton::changeEvent(QEvent* event) {
  QAbstractButton::changeEvent(event);
  if (event->type() == QEvent::EnabledChange) updateEnabled();
}

QSize ZKYosemiteButton::sizeHint() const {
  const QFontMetrics metrics(font());
  return QSize(metrics.horizontalAdvance(text()) + 28, std::max(24, metrics.height() + 10));
}

void ZKYosemiteButton::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setOpacity(alpha_);
  cell_->setEnabled(isEnabled());
  cell_->setState(isChecked() ? 1 : 0);
  cell_->setTitle(text());
  cell_->setFont(font());
  const bool keyDown = isDown();  // Space held
  const bool mouseDown = cell_->mouseDown();
  if (keyDown) cell_->setMouseDown(true);
  const QRectF frame(rect());
  cell_->drawBezelWithFrame(painter, frame);
  cell_->drawInteriorWithFrame(painter, frame);
  cell_->setMouseDown(mouseDown);
  if (hasFocus()) {
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(QColor(0, 122, 255, 140), 2));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(frame.adjusted(1, 1, -1, -1), cell_->cornerRadius(), cell_->cornerRadius());
  }
}

void ZKYosemiteButton::mousePressEvent(QMouseEvent* event) {
  if (!isEnabled() || event->button() != Qt::LeftButton) return;
  cell_->setMouseDown(true);
  update();
}

void ZKYosemiteButton::mouseMoveEvent(QMouseEvent*) {}

void ZKYosemiteButton::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return;
  const bool wasDown = cell_->mouseDown();
  cell_->setMouseDown(false);
  if (!isEnabled()) return;
  update();
  // A release outside the button cancels the click.
  if (wasDown && rect().contains(event->position().toPoint())) click();
}

void ZKYosemiteButton::enterEvent(QEnterEvent* event) {
  QAbstractButton::enterEvent(event);
  setCursor(Qt::PointingHandCursor);
  cell_->setHovered(true);
  update();
}

void ZKYosemiteButton::leaveEvent(QEvent* event) {
  QAbstractButton::leaveEvent(event);
  setCursor(Qt::ArrowCursor);
  cell_->setHovered(false);
  update();
}
