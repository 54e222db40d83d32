#include "windows/QVOptionCellViews.h"

#include <QtCore/QLocale>
#include <QtGui/QFocusEvent>
#include <QtWidgets/QCheckBox>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QDateTimeEdit>
#include <QtWidgets/QHBoxLayout>
#include <QtWidgets/QLabel>
#include <QtWidgets/QToolButton>
#include <QtWidgets/QVBoxLayout>
#include <algorithm>
#include <cmath>

namespace {

QHBoxLayout* cellLayout(QWidget* cell) {
  auto* layout = new QHBoxLayout(cell);
  layout->setContentsMargins(4, 2, 4, 2);
  layout->setSpacing(4);
  return layout;
}

}  // namespace

QVOptionCellView::QVOptionCellView(const QString& identifier, QWidget* parent) : QWidget(parent) {
  setObjectName(identifier);
}

QVTextCellView::QVTextCellView(bool secure, QWidget* parent)
    : QVOptionCellView(secure ? QStringLiteral("SecureStringCellView") : QStringLiteral("StringCellView"),
                       parent),
      textField_(new QLineEdit(this)) {
  textField_->setObjectName(QStringLiteral("textField"));
  if (!secure) {
    cellLayout(this)->addWidget(textField_);
    return;
  }
  // Dots only; the field offers no copying of its text.
  textField_->setEchoMode(QLineEdit::Password);
  textField_->setInputMethodHints(Qt::ImhHiddenText | Qt::ImhNoPredictiveText | Qt::ImhSensitiveData);
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(4, 2, 4, 2);
  column->setSpacing(2);
  column->addWidget(textField_);
  statusLabel_ = new QLabel(this);
  statusLabel_->setObjectName(QStringLiteral("statusLabel"));
  statusLabel_->setWordWrap(true);
  statusLabel_->hide();
  column->addWidget(statusLabel_);
}

void QVTextCellView::setStatus(const QString& text) {
  if (!statusLabel_) return;
  statusLabel_->setText(text);
  statusLabel_->setVisible(!text.isEmpty());
}

QVPopupCellView::QVPopupCellView(QWidget* parent)
    : QVOptionCellView(QStringLiteral("OptionCellView"), parent), popupButton_(new QComboBox(this)) {
  popupButton_->setObjectName(QStringLiteral("popupButton"));
  popupButton_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  popupButton_->setMinimumContentsLength(12);
  cellLayout(this)->addWidget(popupButton_);
}

QVBooleanCellView::QVBooleanCellView(QWidget* parent)
    : QVOptionCellView(QStringLiteral("BooleanCellView"), parent), button_(new QCheckBox(this)) {
  button_->setObjectName(QStringLiteral("button"));
  auto* layout = cellLayout(this);
  layout->addWidget(button_);
  layout->addStretch();
}

QValidator::State QVNumberValidator::validate(QString& input, int&) const {
  const QString text = input.trimmed();
  if (text.isEmpty() || text == u"-" || text == u"+") return Intermediate;
  const QString decimal = QLocale().decimalPoint();
  int separator = text.indexOf(QLatin1Char('.'));
  if (separator < 0) separator = text.indexOf(decimal);
  if (separator >= 0 && text.size() - separator - 1 > 2) return Invalid;  // more precise than allowed
  auto value = numberFromText(text);
  if (!value) {
    // "5." is on its way to a number.
    if (separator == text.size() - 1 && numberFromText(text.left(separator))) return Intermediate;
    return Invalid;
  }
  if (*value >= minimum_ && *value <= maximum_) return Acceptable;
  // More digits only move a number away from zero: a positive number above the maximum, or a negative
  // one below the minimum, can never come back within the bounds.
  if ((*value > maximum_ && *value >= 0) || (*value < minimum_ && *value <= 0)) return Invalid;
  return Intermediate;
}

std::optional<double> QVNumberValidator::numberFromText(const QString& text) {
  bool ok = false;
  double value = QLocale::c().toDouble(text.trimmed(), &ok);
  if (!ok) value = QLocale().toDouble(text.trimmed(), &ok);
  if (!ok || !std::isfinite(value)) return std::nullopt;
  return value;
}

QString QVNumberValidator::textFromNumber(double value) {
  QString text = QString::number(value, 'f', 2);
  if (text.contains(QLatin1Char('.'))) {
    while (text.endsWith(QLatin1Char('0'))) text.chop(1);
    if (text.endsWith(QLatin1Char('.'))) text.chop(1);
  }
  if (text == u"-0") text = QStringLiteral("0");
  return text;
}

void QVNumberField::setNumber(double value) {
  number_ = value;
  setText(QVNumberValidator::textFromNumber(value));
}

void QVNumberField::focusOutEvent(QFocusEvent* event) {
  if (!hasAcceptableInput()) setText(QVNumberValidator::textFromNumber(number_));
  QLineEdit::focusOutEvent(event);
}

QVStepper::QVStepper(QWidget* parent)
    : QWidget(parent), up_(new QToolButton(this)), down_(new QToolButton(this)) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  for (auto* button : {up_, down_}) {
    button->setAutoRepeat(true);
    button->setFixedSize(18, 11);
    layout->addWidget(button);
  }
  up_->setArrowType(Qt::UpArrow);
  down_->setArrowType(Qt::DownArrow);
  up_->setAccessibleName(QStringLiteral("Increment"));
  down_->setAccessibleName(QStringLiteral("Decrement"));
  connect(up_, &QToolButton::clicked, this, [this] { step(1); });
  connect(down_, &QToolButton::clicked, this, [this] { step(-1); });
}

void QVStepper::setRange(double minimum, double maximum) {
  minimum_ = minimum;
  maximum_ = maximum;
  value_ = std::clamp(value_, minimum_, std::max(minimum_, maximum_));
}

void QVStepper::setValue(double value) { value_ = std::clamp(value, minimum_, std::max(minimum_, maximum_)); }

void QVStepper::step(double by) {
  const double next = std::clamp(value_ + by, minimum_, std::max(minimum_, maximum_));
  if (next == value_) return;
  value_ = next;
  Q_EMIT stepped();
}

QVNumberCellView::QVNumberCellView(QWidget* parent)
    : QVOptionCellView(QStringLiteral("NumberCellView"), parent),
      textField_(new QVNumberField(this)),
      stepper_(new QVStepper(this)) {
  textField_->setObjectName(QStringLiteral("textField"));
  stepper_->setObjectName(QStringLiteral("stepper"));
  auto* layout = cellLayout(this);
  layout->addWidget(textField_, 1);
  layout->addWidget(stepper_);
}

QVDateCellView::QVDateCellView(QWidget* parent)
    : QVOptionCellView(QStringLiteral("DateCellView"), parent), datePicker_(new QDateTimeEdit(this)) {
  datePicker_->setObjectName(QStringLiteral("datePicker"));
  datePicker_->setCalendarPopup(true);
  datePicker_->setKeyboardTracking(false);
  auto* layout = cellLayout(this);
  layout->addWidget(datePicker_);
  layout->addStretch();
}

QVInvalidCellView::QVInvalidCellView(QWidget* parent)
    : QVOptionCellView(QStringLiteral("InvalidCellView"), parent),
      textField_(new QLabel(QStringLiteral("Unsupported Type"), this)) {
  textField_->setObjectName(QStringLiteral("textField"));
  cellLayout(this)->addWidget(textField_);
}
