#pragma once

#include <QtCore/QString>
#include <functional>

#include "uikit/ZKWindowController.h"

class QVHelpBrowser;

// The sheet with the application's guide to writing modules: the page "README.html" of the resource
// folder "Docs", in a help browser kept to that folder. A zip file the guide links to (a sample
// module) is saved where the user chooses.
class QVHelpWindowController : public ZKWindowController {
  Q_OBJECT

 public:
  explicit QVHelpWindowController(QObject* parent = nullptr) : ZKWindowController(parent) {}

  // The guide page from the application's resources.
  static QString guidePath();

  QVHelpBrowser* webView() const;
  // Called after the sheet closed (the opener lets go of the controller there).
  std::function<void()> completionHandler;
  // Asks where to save a download: the suggested file name in, the chosen path out (empty when the
  // user cancels). The default is a save dialog with the prompt "Choose"; tests replace it.
  std::function<QString(const QString& suggestedName)> chooseDestination;

  void zk_viewDidLoad() override;
  // The close button's action.
  void close();
  // Saves the local file at `path` where the user chooses, never over an existing file; true when
  // it was copied.
  bool download(const QString& path);
};
