#pragma once

#include "uikit/ZKButton.h"
#include "uikit/ZKThemable.h"

// A button whose image (and alternate image) follow the theme. The first image key set configures the
// button; keys set afterwards wait for the next theme change.
class ZKThemableButton : public ZKButton, public ZKThemable {
  Q_OBJECT
  Q_PROPERTY(QString imageKey READ imageKey WRITE setImageKey)
  Q_PROPERTY(QString alternateImageKey READ alternateImageKey WRITE setAlternateImageKey)

 public:
  explicit ZKThemableButton(QWidget* parent = nullptr) : ZKButton(parent) {}

  QString imageKey() const { return imageKey_; }
  void setImageKey(const QString& key) {
    imageKey_ = key;
    configure();
  }
  QString alternateImageKey() const { return alternateImageKey_; }
  void setAlternateImageKey(const QString& key) { alternateImageKey_ = key; }

  void applyTheme() override {
    applyImage(imageKey_, [this](const QImage& image) {
      setImage(image);
      if (alternateImageKey_.isNull()) setAlternateImage(image);
    });
    applyImage(alternateImageKey_, [this](const QImage& image) { setAlternateImage(image); });
    update();
  }
  void awakeFromNib() override { configure(); }

 private:
  QString imageKey_;
  QString alternateImageKey_;
};
