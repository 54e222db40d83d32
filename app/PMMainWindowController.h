#pragma once

#include <QtCore/QPointer>
#include <QtCore/QSize>
#include <functional>
#include <vector>

#include "uikit/QVWindowTheme.h"
#include "uikit/ZKModuleViewController.h"
#include "uikit/ZKWindowController.h"

class QListWidget;

// The preferences window: a fixed sidebar listing the panes on the left and the selected pane's view
// on the right. The window sizes itself to each pane; panes that are not resizable keep it at their
// size. The panes of the first two rows (module configuration and custom modules) live in the
// windows layer and are handed in as factories; until one is registered its row shows a placeholder.
// The controller owns its window and its panes; whoever opens it lets it go after windowDidClose.
class PMMainWindowController : public ZKWindowController {
  Q_OBJECT

 public:
  // The fixed rows of the sidebar; the application's menu commands open the window at these.
  enum Row { ModuleConfigRow = 0, CustomModulesRow = 1, PreferencesRow = 2, WebSharingRow = 3, AboutRow = 4 };
  static constexpr int kRowCount = 5;
  // The raw settings key that silences the alert shown at each close.
  static constexpr const char* kSuppressQuitAlertKey = "SuppressQuitAlert";

  // Makes the pane of a row; the pane is owned by `parent` (the window controller).
  using PaneFactory = std::function<ZKModuleViewController*(QObject* parent)>;
  // Replaces the pane of a row for windows made from now on; an empty factory brings back the
  // row's own pane (a placeholder for rows 0 and 1). Rows outside 0...4 are ignored.
  static void setPaneFactory(int row, PaneFactory factory);

  explicit PMMainWindowController(QObject* parent = nullptr) : ZKWindowController(parent) {}

  QListWidget* tableView() const;
  QWidget* moduleContentView() const;
  QWidget* contentView() const;
  const std::vector<ZKModuleViewController*>& modules() const { return modules_; }
  ZKModuleViewController* currentModule() const { return currentModule_; }

  // Makes the panes, configures the window, fills the sidebar and selects row 0.
  void zk_viewDidLoad() override;
  void configureWindow();
  // Selects that one row; the selection change switches the pane. Nothing before the window loads.
  void selectModuleAtRow(int row);
  // Shows the window in front with the current pane's appear hooks around it.
  void actuallyShowWindow();
  // Switches to the pane when it differs from the current one.
  void setCurrentModule(ZKModuleViewController* pane);
  // Gives the window the content size the pane wants; false when there is no window or no wish.
  bool resizeWindowIfNeededForViewController(ZKModuleViewController* pane, bool animated);
  // The window content size for a pane: its wanted size plus the sidebar and whatever lies above and
  // below the pane area.
  QSize windowSizeWithController(ZKModuleViewController* pane) const;
  // The size the window may take when the user drags it to `proposed`.
  QSize windowWillResize(QSize proposed) const;
  // Whether the window closes now; otherwise it shows the close alert and closes when it is answered.
  bool windowShouldClose();
  // Every pane gets zk_viewWillDisappear.
  void windowWillClose();

 Q_SIGNALS:
  // After the window closed: the opener drops the controller (with deleteLater).
  void windowDidClose();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void tableViewSelectionDidChange();

  std::vector<ZKModuleViewController*> modules_;
  QPointer<ZKModuleViewController> currentModule_;
  // Keeps the window on the theme; applied again to each pane as it is shown.
  QPointer<QVWindowTheme> theme_;
  bool closeConfirmed_ = false;
};

// The pane shown in a row whose real pane was not handed in: the row's title and a short note.
class PMPlaceholderPane : public ZKModuleViewController {
  Q_OBJECT

 public:
  explicit PMPlaceholderPane(QObject* parent = nullptr) : ZKModuleViewController(parent) {}
  static PMPlaceholderPane* placeholderWithTitle(const QString& title, QObject* parent);
  QSizeF viewMinSize() const override { return QSizeF(620, 420); }
};
