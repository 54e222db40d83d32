#pragma once

#include <QtWidgets/QLabel>

#include "uikit/ZKAwakeFromNib.h"
#include "uikit/ZKThemable.h"

// A text field (a label) whose font and text colour follow the theme.
class ZKThemableTextField : public QLabel, public ZKAwakeFromNib, public ZKThemable {
  Q_OBJECT
  Q_PROPERTY(QString fontKey READ fontKey WRITE setFontKey)
  Q_PROPERTY(QString textColorKey READ textColorKey WRITE setTextColorKey)

 public:
  explicit ZKThemableTextField(QWidget* parent = nullptr);

  QString fontKey() const { return fontKey_; }
  void setFontKey(const QString& key);
  QString textColorKey() const { return textColorKey_; }
  void setTextColorKey(const QString& key);

  // The colour the text is drawn in; an invalid colour gives back the inherited one.
  QColor textColor() const { return palette().color(QPalette::WindowText); }
  void setTextColor(const QColor& color);

  void applyTheme() override;
  void awakeFromNib() override { configure(); }

 private:
  QString fontKey_;
  QString textColorKey_;
};
