#pragma once

#include <QtGui/QStandardItemModel>
#include <vector>

#include "platform/NotificationCenter.h"
#include "uikit/BHThemableWindow.h"

class BHThemableSpinningProgressIndicator;
class ITSwitch;
class SBOutlineView;
class ZKDeleteTableView;
class ZKThemableTableView;
class ZKButtonTableCellView;
class DDSwitchTableCellView;
class QAbstractItemDelegate;

// Every control of the kit in one window, following the current theme: switches, activity indicators,
// every button and tab style, hover and image buttons, emoji buttons, tinted images, an outline of
// groups with busy rows, a themed table with its header and scroll bars, and an editor table of
// on/off and two-line rows.
class QVGalleryWindow : public BHThemableWindow {
  Q_OBJECT

 public:
  explicit QVGalleryWindow(QWidget* parent = nullptr);
  ~QVGalleryWindow() override;

  SBOutlineView* outline() const { return outline_; }
  ZKThemableTableView* table() const { return table_; }
  ZKDeleteTableView* editorTable() const { return editorTable_; }
  // The first switch ("Off").
  ITSwitch* firstSwitch() const { return firstSwitch_; }
  // Stops the indicators, so that two grabs of the same theme look alike.
  void freezeAnimations();

  void applyTheme() override;

 private:
  QWidget* makeControls();
  QWidget* makeTables();

  SBOutlineView* outline_ = nullptr;
  ITSwitch* firstSwitch_ = nullptr;
  ZKThemableTableView* table_ = nullptr;
  ZKDeleteTableView* editorTable_ = nullptr;
  ZKButtonTableCellView* outlineCells_ = nullptr;
  DDSwitchTableCellView* switchCells_ = nullptr;
  QStandardItemModel outlineModel_;
  QStandardItemModel tableModel_;
  QStandardItemModel editorModel_;
  QList<BHThemableSpinningProgressIndicator*> spinners_;
  std::vector<QAbstractItemDelegate*> editorRowDelegates_;
};
