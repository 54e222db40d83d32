#pragma once

#include <QtCore/QString>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "engine/QVDashboardModule.h"
#include "uikit/ZKWindowController.h"

class QAbstractButton;
class QComboBox;
class QLineEdit;
class QTableWidget;
class QVDashboardModuleManager;

// The sheet in which the user ticks modules to add to a group: the built-in modules and then the
// user's own under two headers, narrowed by a search text (name or description, ignoring case and
// diacritics) and a category. The completion block gets the ticked modules in ticking order, or
// nullopt on cancel, exactly once. Main thread only.
class QVAddModuleWindowController : public ZKWindowController {
  Q_OBJECT
 public:
  // A header row: only its name is shown.
  struct Header {
    std::string name;
  };
  using Row = std::variant<Header, QVDashboardModule::Pointer>;
  static constexpr int kGroupRowHeight = 28;
  static constexpr const char* kFindMoreURL = "https://quorvane.example/modules";

  explicit QVAddModuleWindowController(QObject* parent = nullptr) : ZKWindowController(parent) {}
  // The sheet over the given manager (the shared one when null), its window loaded.
  static QVAddModuleWindowController* controllerWithManager(std::shared_ptr<QVDashboardModuleManager> manager,
                                                            QObject* parent = nullptr);

  std::function<void(std::optional<std::vector<QVDashboardModule::Pointer>>)> completionBlock;
  const std::vector<Row>& modulesArray() const { return modulesArray_; }
  const std::vector<QVDashboardModule::Pointer>& selectedModules() const { return selectedModules_; }

  QTableWidget* tableView() const;
  QLineEdit* searchField() const;
  QComboBox* categoryDropdown() const;
  QAbstractButton* nextButton() const;
  QAbstractButton* cancelButton() const;
  // The tick box and find-more button of a row (null when the row has none).
  QAbstractButton* tickBoxAtRow(int row) const;
  QAbstractButton* findMoreButtonAtRow(int row) const;

  void zk_viewDidLoad() override;
  void reloadData();
  void reloadTable();
  void didToggleSelected(int row, bool on);
  void validateTheNextButton();
  void searchDidChange();
  void categoryDidChange();
  void goNext();
  void cancel();
  void openFindMore();

 private:
  bool matches(const QVDashboardModule::Pointer& module) const;
  void finish(std::optional<std::vector<QVDashboardModule::Pointer>> result);

  std::shared_ptr<QVDashboardModuleManager> manager_;
  std::vector<Row> modulesArray_;
  std::optional<std::string> searchText_;
  std::optional<std::string> category_;
  std::vector<QVDashboardModule::Pointer> selectedModules_;
  bool finished_ = false;
};
