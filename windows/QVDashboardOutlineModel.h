#pragma once

#include <QtCore/QAbstractItemModel>
#include <QtCore/QString>
#include <QtGui/QColor>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/QVDashboardGroup.h"
#include "engine/QVDashboardModule.h"
#include "engine/QVModuleResult.h"

struct QVModuleSnapshot;

// What a module row shows, in the order the states are tested.
enum class QVModuleCellState {
  MissingFields,  // a required option is empty: the caution icon
  Running,        // running before its first result: the spinner
  Success,        // the last result succeeded: its text
  Failure,        // a failed result, or no result and not running: the error icon
};

// The dashboard's outline as a model: the groups at the top level and their modules below them, in
// two columns (the module's name, its value). Items are the engine's own group and module objects;
// what a row shows of a module is kept beside it, taken on the GUI thread when the groups are loaded
// and replaced whole (result, updating flag, name, required fields, click URL) by the engine bridge's
// snapshots as the module changes, so painting never reads a module that a run may be changing. A
// change to one module tells only its row.
class QVDashboardOutlineModel : public QAbstractItemModel {
  Q_OBJECT

 public:
  enum Column { NameColumn = 0, ValueColumn = 1, ColumnCount = 2 };
  enum Role : int {
    IsGroupRole = Qt::UserRole + 0x5100,  // bool
    CellStateRole,                        // QVModuleCellState as int (module rows)
    ClickTargetRole,                      // QString: the value's click target, maybe empty
    IsExpandedRole,                       // bool: the group's stored expanded state
    GroupNameRole,                        // QString: the group's name ("Group" when it has none)
    GroupEmojiRole,                       // QString: the group's emoji, trimmed
    IconToolTipRole,                      // QString: the state icon's tool tip
    ValueTextRole,                        // QString: the value text of a successful result
    ValueColorRole,                       // QColor: the result's own colour, invalid for the theme's
    IsUpdatingRole,                       // bool
  };

  // What a module row shows.
  struct ModuleState {
    QVModuleResult::Pointer lastResult;
    bool isUpdating = false;
    bool hasAllRequiredFields = true;
    QString displayName;
    QString onClickURLString;
  };

  explicit QVDashboardOutlineModel(QObject* parent = nullptr);

  // Replaces every row with these groups and their modules as they are now (GUI thread).
  void setGroups(const std::vector<QVDashboardGroup::Pointer>& groups);
  const std::vector<QVDashboardGroup::Pointer>& groups() const { return groups_; }
  std::vector<QVDashboardModule::Pointer> allModules() const;

  // A module's change as the bridge told it: its row is replaced whole by the snapshot and alone is
  // told. False when no row shows it.
  bool applySnapshot(const QVModuleSnapshot& snapshot);
  bool setModuleUpdating(const std::string& uid, bool updating);
  // Reads the whole module again now and tells its row.
  bool refreshModule(const std::string& uid);
  // Re-reads a group's name, emoji and expanded state and tells its row.
  bool refreshGroup(const QVDashboardGroup::Pointer& group);

  QVDashboardGroup::Pointer groupForIndex(const QModelIndex& index) const;
  QVDashboardModule::Pointer moduleForIndex(const QModelIndex& index) const;
  QModelIndex indexForGroup(const QVDashboardGroup::Pointer& group, int column = 0) const;
  QModelIndex indexForModule(const std::string& uid, int column = 0) const;
  const ModuleState* stateForModule(const std::string& uid) const;

  // The row's state, by the rules above.
  static QVModuleCellState cellState(const ModuleState& state);
  // The result's click target when it has one, else the module's own.
  static QString clickTarget(const ModuleState& state);
  // The tool tip of a successful result: "Last Updated: <date>", after the text when there is one.
  static QString successToolTip(const QVModuleResult& result);

  QModelIndex index(int row, int column, const QModelIndex& parent = QModelIndex()) const override;
  QModelIndex parent(const QModelIndex& child) const override;
  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

 private:
  struct Place {
    int group = -1;
    int row = -1;
  };
  static ModuleState stateOf(const QVModuleSnapshot& snapshot);
  static ModuleState readModule(const QVDashboardModule& module);
  void tellModuleRow(const std::string& uid);

  std::vector<QVDashboardGroup::Pointer> groups_;
  std::vector<std::vector<QVDashboardModule::Pointer>> modules_;  // per group, in order
  struct GroupState {
    QString name;
    QString emoji;
    bool isExpanded = true;
  };
  std::vector<GroupState> groupStates_;
  std::unordered_map<std::string, ModuleState> states_;
  std::unordered_map<std::string, Place> places_;
};
