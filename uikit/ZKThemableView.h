#pragma once

#include "uikit/ZKThemable.h"
#include "uikit/ZKView.h"

// A drawn view whose fill and border colours follow the theme.
class ZKThemableView : public ZKView, public ZKThemable {
  Q_OBJECT
  Q_PROPERTY(QString backgroundColorKey READ backgroundColorKey WRITE setBackgroundColorKey)
  Q_PROPERTY(QString borderColorKey READ borderColorKey WRITE setBorderColorKey)

 public:
  explicit ZKThemableView(QWidget* parent = nullptr);

  QString backgroundColorKey() const { return backgroundColorKey_; }
  void setBackgroundColorKey(const QString& key);
  QString borderColorKey() const { return borderColorKey_; }
  void setBorderColorKey(const QString& key);

  void applyTheme() override;
  void awakeFromNib() override;

 private:
  QString backgroundColorKey_;
  QString borderColorKey_;
};
