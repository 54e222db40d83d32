#pragma once

#include <QtCore/QString>
#include <QtGui/QValidator>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QWidget>
#include <optional>

class QCheckBox;
class QComboBox;
class QDateTimeEdit;
class QLabel;
class QToolButton;

// The value cells of the option editor's table, one kind per cell identifier. Each is a small widget
// holding the control the row edits with; its object name is its identifier.
class QVOptionCellView : public QWidget {
  Q_OBJECT

 public:
  QString identifier() const { return objectName(); }

 protected:
  QVOptionCellView(const QString& identifier, QWidget* parent);
};

// "StringCellView" and "SecureStringCellView": a text field; the secure one never shows its text, and
// has a line under the field that tells what the keychain does with it (reading, saving) or why it
// did not keep it.
class QVTextCellView : public QVOptionCellView {
  Q_OBJECT

 public:
  QVTextCellView(bool secure, QWidget* parent = nullptr);
  QLineEdit* textField() const { return textField_; }
  // The line under a secure field; null for other fields.
  QLabel* statusLabel() const { return statusLabel_; }
  // Shows the text under a secure field; an empty text hides the line.
  void setStatus(const QString& text);

 private:
  QLineEdit* textField_;
  QLabel* statusLabel_ = nullptr;
};

// "OptionCellView": a pop-up button.
class QVPopupCellView : public QVOptionCellView {
  Q_OBJECT

 public:
  explicit QVPopupCellView(QWidget* parent = nullptr);
  QComboBox* popupButton() const { return popupButton_; }

 private:
  QComboBox* popupButton_;
};

// "BooleanCellView": a check box.
class QVBooleanCellView : public QVOptionCellView {
  Q_OBJECT

 public:
  explicit QVBooleanCellView(QWidget* parent = nullptr);
  QCheckBox* button() const { return button_; }

 private:
  QCheckBox* button_;
};

// Accepts decimal numbers with at most two fraction digits within the bounds. Text that more typing
// could still bring within the bounds is intermediate; text that no typing can is refused.
class QVNumberValidator : public QValidator {
  Q_OBJECT

 public:
  QVNumberValidator(double minimum, double maximum, QObject* parent = nullptr)
      : QValidator(parent), minimum_(minimum), maximum_(maximum) {}
  double minimum() const { return minimum_; }
  double maximum() const { return maximum_; }
  State validate(QString& input, int& position) const override;
  // The number the text holds (C or the user's decimal separator), when it is one.
  static std::optional<double> numberFromText(const QString& text);
  // The number as the field shows it: at most two fraction digits, no trailing zeros.
  static QString textFromNumber(double value);

 private:
  double minimum_;
  double maximum_;
};

// A number field: it takes only text its validator accepts, and a field left with text it does not
// accept goes back to the number it showed.
class QVNumberField : public QLineEdit {
  Q_OBJECT

 public:
  explicit QVNumberField(QWidget* parent = nullptr) : QLineEdit(parent) {}
  // Shows the number and keeps it as the one to go back to.
  void setNumber(double value);
  double number() const { return number_; }

 protected:
  void focusOutEvent(QFocusEvent* event) override;

 private:
  double number_ = 0;
};

// Two small arrow buttons that step a number by one within its bounds.
class QVStepper : public QWidget {
  Q_OBJECT

 public:
  explicit QVStepper(QWidget* parent = nullptr);
  double value() const { return value_; }
  void setValue(double value);
  double minValue() const { return minimum_; }
  double maxValue() const { return maximum_; }
  void setRange(double minimum, double maximum);
  QToolButton* upButton() const { return up_; }
  QToolButton* downButton() const { return down_; }
  QString stringValue() const { return QVNumberValidator::textFromNumber(value_); }

 Q_SIGNALS:
  // The user stepped the value (a click that changes nothing sends nothing).
  void stepped();

 private:
  void step(double by);

  QToolButton* up_;
  QToolButton* down_;
  double value_ = 0;
  double minimum_ = -9223372036854775808.0;
  double maximum_ = 9223372036854775808.0;
};

// "NumberCellView": a number field with a stepper.
class QVNumberCellView : public QVOptionCellView {
  Q_OBJECT

 public:
  explicit QVNumberCellView(QWidget* parent = nullptr);
  QVNumberField* textField() const { return textField_; }
  QVStepper* stepper() const { return stepper_; }

 private:
  QVNumberField* textField_;
  QVStepper* stepper_;
};

// "DateCellView": a date and time picker with a calendar.
class QVDateCellView : public QVOptionCellView {
  Q_OBJECT

 public:
  explicit QVDateCellView(QWidget* parent = nullptr);
  QDateTimeEdit* datePicker() const { return datePicker_; }

 private:
  QDateTimeEdit* datePicker_;
};

// "InvalidCellView": a label reading "Unsupported Type".
class QVInvalidCellView : public QVOptionCellView {
  Q_OBJECT

 public:
  explicit QVInvalidCellView(QWidget* parent = nullptr);
  QLabel* textField() const { return textField_; }

 private:
  QLabel* textField_;
};
