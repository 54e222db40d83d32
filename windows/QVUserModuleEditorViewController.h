#pragma once

#include <QtCore/QPointer>
#include <QtCore/QStringList>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/QVDashboardModule.h"
#include "uikit/ZKModuleViewController.h"

class QAbstractButton;
class QTableWidget;
class QVDashboardModuleManager;
class QVHelpWindowController;

// The "Custom Modules" pane of the preferences window: the packages the user installed, installed
// from a chooser or by dropping package folders (or zip files of one package) on the list, revealed in the
// file manager and uninstalled after a confirmation (first leaving every group that uses them, which stops
// their runs). Installing runs on a background queue; each refused package is reported by its own alert on
// the main thread, one after the other, and the list is reloaded at the end.
//
// The preferences window makes it with
// `ZKViewController::controller<QVUserModuleEditorViewController>(parent)` (the shared manager) or
// `controllerWithManager`.
class QVUserModuleEditorViewController : public ZKModuleViewController {
  Q_OBJECT
 public:
  static constexpr const char* kFindMoreURL = "https://quorvane.example/modules";

  explicit QVUserModuleEditorViewController(QObject* parent = nullptr);
  static QVUserModuleEditorViewController* controllerWithManager(
      std::shared_ptr<QVDashboardModuleManager> manager, QObject* parent = nullptr);
  // The alert text for an install answer code other than 1.
  static QString installFailureText(std::int64_t code);

  // Chooses packages to install (a file dialog by default; tests answer it); empty on cancel.
  std::function<QStringList(QWidget* parent)> openPanel;

  const std::vector<QVDashboardModule::Pointer>& modules() const { return modules_; }
  QTableWidget* tableView() const;
  QAbstractButton* uninstallButtonAtRow(int row) const;
  QVHelpWindowController* helpWindowController() const;
  // True while an install runs on its background queue.
  bool isInstalling() const { return installing_ > 0; }

  void zk_viewDidLoad() override;
  void zk_viewDidAppear() override;
  void reloadData();
  void install();
  void installModules(const QStringList& paths);
  void uninstall(int row);
  void showInFinder();
  void learnHow();
  void findMore();
  void showDeletionErrorAlert();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void reportInstallFailure(const QString& path, std::int64_t code);
  void showNextFailure();

  std::shared_ptr<QVDashboardModuleManager> manager_;
  std::vector<QVDashboardModule::Pointer> modules_;
  QPointer<QVHelpWindowController> helpWindowController_;
  std::deque<std::pair<QString, std::int64_t>> failures_;
  bool showingFailure_ = false;
  int installing_ = 0;
};
