#pragma once

#include <QtWidgets/QLabel>

#include "uikit/ZKAwakeFromNib.h"

class QGraphicsOpacityEffect;

// A text field (a label) that fades to half its opacity while disabled and comes back to the opacity
// it had while enabled.
class ZKEnabledTextField : public QLabel, public ZKAwakeFromNib {
  Q_OBJECT

 public:
  explicit ZKEnabledTextField(QWidget* parent = nullptr);

  // The opacity shown now; setting it shows it at once and makes it the enabled opacity.
  double alphaValue() const;
  void setAlphaValue(double alpha);
  // The opacity the field has while enabled.
  double originalAlphaValue() const { return originalAlphaValue_; }

  void awakeFromNib() override;

 protected:
  void changeEvent(QEvent* event) override;

 private:
  void showAlpha(double alpha);

  QGraphicsOpacityEffect* opacity_;
  double originalAlphaValue_ = 1.0;
};
