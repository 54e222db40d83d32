#pragma once

#include <cstdint>

#include "uikit/YRKSpinningProgressIndicator.h"
#include "uikit/ZKThemable.h"

// A spinning indicator whose colour follows the theme, white while its table row is selected.
class BHThemableSpinningProgressIndicator : public YRKSpinningProgressIndicator, public ZKThemable {
  Q_OBJECT
  Q_PROPERTY(QString tintColorKey READ tintColorKey WRITE setTintColorKey)

 public:
  static constexpr std::int64_t BackgroundStyleEmphasized = 1;

  explicit BHThemableSpinningProgressIndicator(QWidget* parent = nullptr)
      : YRKSpinningProgressIndicator(parent) {
    configure();
  }

  QString tintColorKey() const { return tintColorKey_; }
  // Stores the key and applies it at once, always.
  void setTintColorKey(const QString& key) {
    tintColorKey_ = key;
    applyTheme();
  }

  std::int64_t backgroundStyle() const { return backgroundStyle_; }
  // White in a selected row (style 1), else the theme colour.
  void setBackgroundStyle(std::int64_t style) {
    backgroundStyle_ = style;
    setColor(style == BackgroundStyleEmphasized ? QColor(Qt::white) : themeColor());
  }

  void applyTheme() override {
    if (!tintColorKey_.isNull()) setColor(themeColor());
  }
  // A form's indicator: follows the theme, turns without a thread of its own, hides when stopped.
  void awakeFromNib() override {
    YRKSpinningProgressIndicator::awakeFromNib();
    configure();
    setIndeterminate(true);
    setUsesThreadedAnimation(false);
    setDisplayedWhenStopped(false);
  }

 private:
  QColor themeColor() const {
    return tintColorKey_.isNull() ? QColor() : themeManager().colorForKey(tintColorKey_);
  }

  QString tintColorKey_;
  std::int64_t backgroundStyle_ = 0;
};
