#pragma once

#include "uikit/ZKThemable.h"
#include "uikit/ZKYosemiteWindow.h"

// A window whose background colour follows the theme.
class BHThemableWindow : public ZKYosemiteWindow, public ZKThemable {
  Q_OBJECT
  Q_PROPERTY(QString backgroundColorKey READ backgroundColorKey WRITE setBackgroundColorKey)

 public:
  explicit BHThemableWindow(QWidget* parent = nullptr, Qt::WindowFlags flags = Qt::Window);

  QString backgroundColorKey() const { return backgroundColorKey_; }
  void setBackgroundColorKey(const QString& key);

  // The window's background; an invalid colour gives back the desktop's window colour.
  QColor backgroundColor() const { return palette().color(QPalette::Window); }
  void setBackgroundColor(const QColor& color);
  QColor contentBackgroundColor() const override { return backgroundColor(); }

  void applyTheme() override;
  void awakeFromNib() override;

 private:
  QString backgroundColorKey_;
};
