#pragma once

#include <QtWidgets/QTableView>

#include "uikit/ZKAwakeFromNib.h"
#include "uikit/ZKThemable.h"

// The style sheet of an item view (`selector` names its class) with that background and grid colour:
// text readable on the background and, over a dark background, a header and scroll bars in the
// theme's dark colours. Empty when neither colour is valid.
QString zk_itemViewStyleSheet(const QString& selector, const QColor& background, const QColor& grid);

// A table view whose background and grid colours follow the theme; over a dark background its header
// and scroll bars follow as well. Keys set after the view was
// configured wait for the next theme change.
class ZKThemableTableView : public QTableView, public ZKAwakeFromNib, public ZKThemable {
  Q_OBJECT
  Q_PROPERTY(QString backgroundColorKey READ backgroundColorKey WRITE setBackgroundColorKey)
  Q_PROPERTY(QString gridColorKey READ gridColorKey WRITE setGridColorKey)

 public:
  explicit ZKThemableTableView(QWidget* parent = nullptr);

  QString backgroundColorKey() const { return backgroundColorKey_; }
  void setBackgroundColorKey(const QString& key) { backgroundColorKey_ = key; }
  QString gridColorKey() const { return gridColorKey_; }
  void setGridColorKey(const QString& key) { gridColorKey_ = key; }

  // The colour behind the rows; invalid gives back the inherited one.
  QColor backgroundColor() const;
  void setBackgroundColor(const QColor& color);
  // The colour of the grid lines; invalid gives back the style's.
  QColor gridColor() const;
  void setGridColor(const QColor& color);
  // Draws every row again.
  void reloadData();

  void applyTheme() override;
  void awakeFromNib() override { configure(); }

 private:
  QString backgroundColorKey_;
  QString gridColorKey_;
  void updateStyleSheet();

  QColor backgroundColor_;
  QColor gridColor_;
};
