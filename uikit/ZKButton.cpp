#include "uikit/ZKButton.h"

#include <QtCore/QEvent>
#include <QtCore/QPropertyAnimation>
#include <QtGui/QPainter>
#include <QtGui/QPixmap>
#include <QtWidgets/QGraphicsOpacityEffect>
#include <QtWidgets/QStyleOptionButton>
#include <QtWidgets/QStylePainter>

ZKButton::ZKButton(QWidget* parent) : QPushButton(parent), cell_(std::make_unique<ZKButtonCell>()) {
  // The pointing hand shows over the button whether it is enabled or not.
  setCursor(Qt::PointingHandCursor);
  setAttribute(Qt::WA_Hover);
  connect(this, &QAbstractButton::pressed, this, &ZKButton::showIcon);
  connect(this, &QAbstractButton::released, this, &ZKButton::showIcon);
}

ZKButton::~ZKButton() = default;

void ZKButton::setCell(std::unique_ptr<ZKButtonCell> cell) {
  if (!cell) return;
  cell_ = std::move(cell);
  update();
}

void ZKButton::setImage(const QImage& image) {
  image_ = image;
  showIcon();
}

void ZKButton::setAlternateImage(const QImage& image) {
  alternateImage_ = image;
  showIcon();
}

void ZKButton::showIcon() {
  const QImage& shown = isDown() && !alternateImage_.isNull() ? alternateImage_ : image_;
  if (shown.isNull()) {
    setIcon(QIcon());
    return;
  }
  setIcon(QIcon(QPixmap::fromImage(shown)));
  setIconSize(shown.deviceIndependentSize().toSize());
}

void ZKButton::setEnabled(bool enabled) {
  QPushButton::setEnabled(enabled);
  updateEnabled();
}

double ZKButton::alphaValue() const { return opacity_ ? opacity_->opacity() : 1.0; }

void ZKButton::updateEnabled() {
  const double target = isEnabled() ? 1.0 : 0.5;
  if (!opacity_) {
    if (target == 1.0) return;
    opacity_ = new QGraphicsOpacityEffect(this);
    opacity_->setOpacity(1.0);
    setGraphicsEffect(opacity_);
    fade_ = new QPropertyAnimation(opacity_, "opacity", this);
    fade_->setDuration(200);
  }
  fade_->stop();
  if (!isVisible()) {
    opacity_->setOpacity(target);
    return;
  }
  fade_->setStartValue(opacity_->opacity());
  fade_->setEndValue(target);
  fade_->start();
}

void ZKButton::changeEvent(QEvent* event) {
  QPushButton::changeEvent(event);
  if (event->type() == QEvent::EnabledChange) updateEnabled();
}

void ZKButton::enterEvent(QEnterEvent* event) {
  QPushButton::enterEvent(event);
  cell_->setHovered(true);
  setCursor(Qt::PointingHandCursor);
  update();
}

void ZKButton::leaveEvent(QEvent* event) {
  QPushButton::leaveEvent(event);
  cell_->setHovered(false);
  update();
}

void ZKButton::paintEvent(QPaintEvent* event) {
  if (!cell_->drawsTitle()) {
    QPushButton::paintEvent(event);
    return;
  }
  // A cell that draws the title itself gets the button without its text.
  QStyleOptionButton option;
  initStyleOption(&option);
  const QString title = option.text;
  option.text.clear();
  QStylePainter painter(this);
  painter.drawControl(QStyle::CE_PushButton, option);
  cell_->drawInteriorWithFrame(painter, QRectF(rect()), title);
}
