#pragma once

#include "uikit/ITSwitch.h"
#include "uikit/ZKThemable.h"

// A switch whose off-look border follows the theme.
class DDThemableITSwitch : public ITSwitch, public ZKThemable {
  Q_OBJECT
  Q_PROPERTY(QString disabledBorderColorKey READ disabledBorderColorKey WRITE setDisabledBorderColorKey)

 public:
  explicit DDThemableITSwitch(QWidget* parent = nullptr) : ITSwitch(parent) { configure(); }

  QString disabledBorderColorKey() const { return disabledBorderColorKey_; }
  void setDisabledBorderColorKey(const QString& key) {
    if (storeKey(disabledBorderColorKey_, key)) applyTheme();
  }

  void applyTheme() override {
    applyColor(disabledBorderColorKey_, [this](const QColor& color) { setDisabledBorderColor(color); });
  }
  void awakeFromNib() override { configure(); }

 private:
  QString disabledBorderColorKey_;
};
