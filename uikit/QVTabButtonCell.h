#pragma once

#include "uikit/ZKYosemiteButtonCell.h"

// The look of a tab button: blue with a white title while selected (state on), white with a light grey
// outline and a dark grey title while not (in a theme with button colours of its own, the dark one,
// the theme's button colours and text colour instead); an enabled tab shows its hovered and pressed
// colours.
class QVTabButtonCell : public ZKYosemiteButtonCell {
 public:
  QString className() const override { return QStringLiteral("QVTabButtonCell"); }
  std::optional<ZKShadow> shadow() const override { return std::nullopt; }
  double cornerRadius() const override { return 4.0; }
  QColor titleColor() const override { return Qt::white; }
  QColor titleColorPressed() const override { return Qt::white; }
  QColor strokeColor() const override { return QColor(); }
  QColor strokeColorPressed() const override { return QColor(); }
  QColor backgroundColor() const override;
  QColor backgroundColorPressed() const override;
  QColor backgroundColorHovered() const override;

  // The unselected look.
  virtual QColor disabledBackgroundColor() const;
  virtual QColor disabledTitleColor() const;
  virtual QColor disabledStrokeColor() const;

  Bezel bezel() const override;
  QColor currentTitleColor() const override;

 private:
  bool showsUnselectedLook() const { return !(hovered() && isEnabled()) && state() == 0; }
};

class QVGreenTabButtonCell : public QVTabButtonCell {
 public:
  QString className() const override { return QStringLiteral("QVGreenTabButtonCell"); }
  QColor backgroundColorPressed() const override;
  QColor backgroundColorHovered() const override;
};

class QVRedTabButtonCell : public QVTabButtonCell {
 public:
  QString className() const override { return QStringLiteral("QVRedTabButtonCell"); }
  QColor backgroundColorPressed() const override;
  QColor backgroundColorHovered() const override;
};
