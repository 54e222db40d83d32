#pragma once

#include <QtGui/QPainterPath>
#include <optional>

#include "platform/SettingsStore.h"
#include "uikit/ZKThemableView.h"

// The dashboard header's background: the top of the window's outline (rounded top corners), with an
// arrow pointing up at the status item while the window is docked. Its colour follows the theme; the
// arrow follows the "isDocked" setting 0.2 s after it changes.
class QVDockedHeaderView : public ZKThemableView {
  Q_OBJECT

 public:
  explicit QVDockedHeaderView(QWidget* parent = nullptr);

  bool showsArrow() const { return showsArrow_; }
  void setShowsArrow(bool shows);
  // Where the arrow's tip goes, as a distance from the window's left edge; nullopt keeps it in the
  // middle. A docked window kept on the screen beside its status item still points at the item.
  std::optional<double> arrowPosition() const { return arrowPosition_; }
  void setArrowPosition(std::optional<double> position);
  // The outline filled now, in the view's coordinates.
  const QPainterPath& backgroundPath() const { return path_; }
  // Rebuilds the outline from the bounds and showsArrow.
  void updatePath();
  QColor fillColor() const { return fillColor_; }

  void awakeFromNib() override;
  void applyTheme() override;

 Q_SIGNALS:
  // The outline changed (the arrow came or went, or the view was resized): a window shaped to it
  // takes the new one.
  void backgroundPathDidChange();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  bool showsArrow_ = false;
  std::optional<double> arrowPosition_;
  QPainterPath path_;
  QColor fillColor_;
  platform::SettingsStore::Observation dockedObservation_;
};
