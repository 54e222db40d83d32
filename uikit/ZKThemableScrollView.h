#pragma once

#include <QtWidgets/QScrollArea>

#include "uikit/ZKAwakeFromNib.h"
#include "uikit/ZKThemable.h"

// A scroll view whose background follows the theme (no background while it has none).
class ZKThemableScrollView : public QScrollArea, public ZKAwakeFromNib, public ZKThemable {
  Q_OBJECT
  Q_PROPERTY(QString backgroundColorKey READ backgroundColorKey WRITE setBackgroundColorKey)

 public:
  explicit ZKThemableScrollView(QWidget* parent = nullptr);

  QString backgroundColorKey() const { return backgroundColorKey_; }
  void setBackgroundColorKey(const QString& key);

  // The colour behind the content; invalid: nothing is drawn behind it.
  QColor backgroundColor() const { return backgroundColor_; }
  void setBackgroundColor(const QColor& color);

  void applyTheme() override;
  void awakeFromNib() override { configure(); }

 private:
  QString backgroundColorKey_;
  QColor backgroundColor_;
};
