#pragma once

#include <QtCore/QVariantAnimation>
#include <QtWidgets/QAbstractButton>
#include <memory>

#include "uikit/ZKAwakeFromNib.h"
#include "uikit/ZKYosemiteButtonCell.h"

// The flat push or tab button: its cell draws it, the button tracks the pointer (hovered) and the
// press (pressed) and sends the action itself; a release outside the button cancels the click. Space
// presses it as a click does. A disabled button fades to half opacity and ignores presses.
class ZKYosemiteButton : public QAbstractButton, public ZKAwakeFromNib {
  Q_OBJECT
  // The cell's class, as a form names it ("ZKGreenYosemiteButtonCell", "QVTabButtonCell", ...).
  Q_PROPERTY(QString cellClass READ cellClass WRITE setCellClass)

 public:
  explicit ZKYosemiteButton(QWidget* parent = nullptr);
  ZKYosemiteButton(const QString& cellClass, const QString& title, QWidget* parent = nullptr);

  ZKYosemiteButtonCell* buttonCell() const { return cell_.get(); }
  void setCell(std::unique_ptr<ZKYosemiteButtonCell> cell);
  QString cellClass() const { return cell_->className(); }
  // An unknown class name keeps the current cell.
  void setCellClass(const QString& className);

  void setEnabled(bool enabled);
  void updateEnabled();
  // The opacity the button is drawn with (1, or 0.5 once disabled; animated between).
  double alphaValue() const { return alpha_; }

  QSize sizeHint() const override;
  void awakeFromNib() override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  std::unique_ptr<ZKYosemiteButtonCell> cell_;
  double alpha_ = 1.0;
  QVariantAnimation fade_;
};
