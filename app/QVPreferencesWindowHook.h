#pragma once

#include <QtCore/QString>
#include <functional>
#include <memory>

class QWidget;

// What the application delegate needs of the preferences window: made on demand, dropped when its
// window closes. The preferences window itself lives in its own library; the application wires its
// factory at start-up (AppDelegate::setPreferencesWindowFactory). Rows of the panes: 0 module
// configuration, 1 custom modules, 2 general, 3 web sharing, 4 about.
class QVPreferencesWindow {
 public:
  enum Row : int { ModulesRow = 0, CustomModulesRow = 1, GeneralRow = 2, WebSharingRow = 3, AboutRow = 4 };

  virtual ~QVPreferencesWindow() = default;
  // The top-level window (alive as long as this object).
  virtual QWidget* window() const = 0;
  virtual void selectPaneAtRow(int row) = 0;
  // Shows the window and brings it to the front.
  virtual void actuallyShowWindow() = 0;
};

using QVPreferencesWindowFactory = std::function<std::unique_ptr<QVPreferencesWindow>()>;
