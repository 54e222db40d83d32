#pragma once

#include <QtCore/QPointer>
#include <QtGui/QImage>
#include <QtWidgets/QPushButton>
#include <memory>

#include "uikit/ZKAwakeFromNib.h"

class QGraphicsOpacityEffect;
class QPainter;
class QPropertyAnimation;

// The cell of a kit button: it records whether the pointer is over the button. The standard button
// drawing is used unless a subclass draws the title itself.
class ZKButtonCell {
 public:
  virtual ~ZKButtonCell() = default;
  bool hovered() const { return hovered_; }
  void setHovered(bool hovered) { hovered_ = hovered; }
  // Whether the cell draws the title itself (drawInteriorWithFrame) instead of the standard drawing.
  virtual bool drawsTitle() const { return false; }
  virtual void drawInteriorWithFrame(QPainter&, const QRectF&, const QString& /*title*/) const {}

 private:
  bool hovered_ = false;
};

// A button that shows a pointing hand over it, tells its cell when the pointer is over it, and fades
// to half opacity while disabled. It shows its image, and its alternate image while pressed.
class ZKButton : public QPushButton, public ZKAwakeFromNib {
  Q_OBJECT

 public:
  explicit ZKButton(QWidget* parent = nullptr);
  ~ZKButton() override;

  ZKButtonCell* cell() const { return cell_.get(); }
  void setCell(std::unique_ptr<ZKButtonCell> cell);

  QImage image() const { return image_; }
  virtual void setImage(const QImage& image);
  QImage alternateImage() const { return alternateImage_; }
  void setAlternateImage(const QImage& image);

  void setEnabled(bool enabled);
  void updateEnabled();
  // 1 while enabled, 0.5 while disabled (faded in between).
  double alphaValue() const;

  void awakeFromNib() override {}

 protected:
  void paintEvent(QPaintEvent* event) override;
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;
  void changeEvent(QEvent* event) override;
  void showIcon();

 private:
  std::unique_ptr<ZKButtonCell> cell_;
  QImage image_;
  QImage alternateImage_;
  QGraphicsOpacityEffect* opacity_ = nullptr;
  QPropertyAnimation* fade_ = nullptr;
};
