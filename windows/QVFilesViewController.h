#pragma once

#include <QtCore/QStringList>
#include <memory>

#include "engine/QVDashboardModule.h"
#include "uikit/ZKMemoryFormatter.h"
#include "uikit/ZKViewController.h"

class QTableWidget;

// The files tab of the edit-module sheet: the files the application keeps for one module (its log
// file, then its database), each with its size and a button that shows it in the file manager. Read
// again when the tab is shown and whenever the application becomes active.
class QVFilesViewController : public ZKViewController {
  Q_OBJECT

 public:
  enum Column { pathTableColumn = 0, sizeTableColumn = 1, buttonTableColumn = 2 };

  explicit QVFilesViewController(QObject* parent = nullptr) : ZKViewController(parent) {}

  static QVFilesViewController* controllerWithModule(const QVDashboardModule::Pointer& module,
                                                     QObject* parent = nullptr);

  QVDashboardModule::Pointer module() const { return module_.lock(); }
  QTableWidget* tableView() const;
  // The rows: absolute paths of the module's files that exist.
  const QStringList& files() const { return files_; }
  ZKMemoryFormatter& memoryFormatter() { return memoryFormatter_; }

  void zk_viewDidLoad() override;
  void zk_viewWillAppear() override;

  void reloadData();
  // "Database" for a "json" file, "Logs" for a "log" file, else the file name.
  static QString labelForPath(const QString& path);
  // The reveal action of the row's button.
  void showInFinder(int row);

 private:
  std::weak_ptr<QVDashboardModule> module_;
  QStringList files_;
  ZKMemoryFormatter memoryFormatter_;
};
