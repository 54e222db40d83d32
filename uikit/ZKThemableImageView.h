#pragma once

#include "uikit/ZKThemable.h"
#include "uikit/ZKTintableImageView.h"

// An image view whose tint colour follows the theme.
class ZKThemableImageView : public ZKTintableImageView, public ZKThemable {
  Q_OBJECT
  Q_PROPERTY(QString tintColorKey READ tintColorKey WRITE setTintColorKey)

 public:
  explicit ZKThemableImageView(QWidget* parent = nullptr) : ZKTintableImageView(parent) { configure(); }

  QString tintColorKey() const { return tintColorKey_; }
  void setTintColorKey(const QString& key) {
    if (storeKey(tintColorKey_, key)) applyTheme();
  }

  void applyTheme() override {
    applyColor(tintColorKey_, [this](const QColor& color) { setTintColor(color); });
    update();
  }
  void awakeFromNib() override { configure(); }

 private:
  QString tintColorKey_;
};
