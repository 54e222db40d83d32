#pragma once

#include <QtCore/QStringList>
#include <cstdint>
#include <memory>

#include "engine/QVDMUserOption.h"
#include "engine/QVDashboardModule.h"
#include "uikit/ZKViewController.h"

class QTableWidget;
class QVDashboardModuleManager;
class QWidget;

// The two-column table (option name, option value) in which the user edits one module's settings. Mode
// 0, module preferences: the fixed rows "Name", "Refresh Interval" and "On Click", then the module's
// own options. Mode 1, notification options: only the options every module with notifications offers.
// Each row's value cell fits the option's type; an edit is stored in the option's value, saved through
// the manager (debounced), and in mode 0 an option change runs the module again at once. An edit that
// leaves the value as it was stores, saves and runs nothing. Main thread only.
class QVConfigEditorViewController : public ZKViewController {
  Q_OBJECT

 public:
  enum Column { nameTableColumn = 0, valueTableColumn = 1 };
  static constexpr const char* kStringPlaceholder = "Click to edit this value";
  static constexpr const char* kOnClickExample = "https://www.example.com";
  static constexpr const char* kOnClickHelp =
      "The URL to open when you click the item in the dashboard window.";

  explicit QVConfigEditorViewController(QObject* parent = nullptr) : ZKViewController(parent) {}

  // The editor of the module in mode 0; `type` 1 gives the notification options. Edits are saved
  // through `manager` (the shared manager when null).
  static QVConfigEditorViewController* controllerWithModule(
      const QVDashboardModule::Pointer& module, std::int64_t type = 0,
      std::shared_ptr<QVDashboardModuleManager> manager = nullptr, QObject* parent = nullptr);

  QVDashboardModule::Pointer module() const { return module_.lock(); }
  std::int64_t type() const { return type_; }
  // The options of the mode, read afresh.
  QVDashboardModule::Options options() const;
  const QStringList& staticFieldLabels() const { return staticFieldLabels_; }
  QTableWidget* tableView() const;
  int numberOfRows() const;
  // The value cell of a table row (a QVOptionCellView), null when there is none.
  QWidget* valueCellAtRow(int row) const;

  void zk_viewDidLoad() override;
  void reloadData();
  // After an edit of option `index`: tells of the module's change (the dashboard's row follows at
  // once), runs the module (mode 0) and refreshes the row's name cell.
  void reloadDataForRow(int index);

  // The edit handlers, by option index where they take one.
  void moduleNameDidChange();
  void refreshIntervalDidChange();
  void onClickURLDidChange();
  void dropdownDidChange(int index);
  void stringTextFieldDidChange(int index);
  void booleanValueDidChange(int index);
  void dateValueDidChange(int index);
  void numberTextFieldDidChange(int index);
  void numberStepperDidChange(int index);
  void numberValueDidChangeWithRow(int index, double value);

 private:
  QWidget* cellForRow(int row);
  void configureNameCell(int row);
  QWidget* configureModuleNameCellView();
  QWidget* configureRefreshCellView();
  QWidget* configureOnClickCellView();
  QWidget* configureDropDownCellViewWithOption(const QVDMUserOption& option, int index);
  QWidget* configureStringCellViewWithOption(const QVDMUserOption& option, int index);
  QWidget* configureNumberCellViewWithOption(const QVDMUserOption& option, int index);
  QWidget* configureBooleanCellViewWithOption(const QVDMUserOption& option, int index);
  QWidget* configureDateCellViewWithOption(const QVDMUserOption& option, int index);
  QVDMUserOption::Pointer optionAt(int index) const;
  int fixedRowCount() const { return static_cast<int>(staticFieldLabels_.size()); }
  void save();

  std::weak_ptr<QVDashboardModule> module_;
  std::weak_ptr<QVDashboardModuleManager> manager_;
  bool usesSharedManager_ = false;
  std::int64_t type_ = 0;
  QStringList staticFieldLabels_;
};
