#pragma once

#include <QtCore/QStringList>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "engine/QVDMUserOption.h"
#include "engine/QVDashboardModule.h"
#include "uikit/ZKViewController.h"

class QTableWidget;
class QVTextCellView;
class QVDashboardModuleManager;
class QWidget;

// The two-column table (option name, option value) in which the user edits one module's settings. Mode
// 0, module preferences: the fixed rows "Name", "Refresh Interval" and "On Click", then the module's
// own options. Mode 1, notification options: only the options every module with notifications offers.
// Each row's value cell fits the option's type; an edit is stored in the option's value, saved through
// the manager (debounced), and in mode 0 an option change runs the module again at once. An edit that
// leaves the value as it was stores, saves and runs nothing. Main thread only.
//
// A secure option's text lives in the keychain, which may ask the user first (a keyring prompt) and
// is never waited for here: while its text is read or saved the field is disabled and says so
// under it; a text the keychain did not keep goes back to the kept one, with the reason under the
// field, and runs and saves nothing.
class QVConfigEditorViewController : public ZKViewController {
  Q_OBJECT

 public:
  enum Column { nameTableColumn = 0, valueTableColumn = 1 };
  static constexpr const char* kStringPlaceholder = "Click to edit this value";
  static constexpr const char* kOnClickExample = "https://www.example.com";
  static constexpr const char* kOnClickHelp =
      "The URL to open when you click the item in the dashboard window.";
  static constexpr const char* kReadingSecureValue = "Reading from the keyring…";
  static constexpr const char* kSavingSecureValue = "Saving to the keyring…";
  static constexpr const char* kSecureValueNotKept = "The value could not be kept in the keyring: %1";
  static constexpr const char* kSecureValueNotRead = "The value could not be read from the keyring: %1";

  explicit QVConfigEditorViewController(QObject* parent = nullptr) : ZKViewController(parent) {}
  ~QVConfigEditorViewController() override;

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
  int indexOfOption(const std::string& uid) const;
  int fixedRowCount() const { return static_cast<int>(staticFieldLabels_.size()); }
  void save();
  // Brings a secure option's cell up to date with what the keychain does with its text.
  void showSecureState(int index);
  void applySecureState(QVTextCellView& cell, const QVDMUserOption& option, int row);
  void fitRowHeight(int row);
  void describeCell(int row, const QString& text);

  // What the keychain does with a secure option's text, by option uid: saving it, or why it did
  // not keep (or read) it.
  struct SecureFieldState {
    bool saving = false;
    QString message;
  };
  std::map<std::string, SecureFieldState> secureStates_;

  std::weak_ptr<QVDashboardModule> module_;
  std::weak_ptr<QVDashboardModuleManager> manager_;
  bool usesSharedManager_ = false;
  std::int64_t type_ = 0;
  QStringList staticFieldLabels_;
};
