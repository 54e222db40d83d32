#include "windows/QVDashboardOutlineModel.h"

#include "engine/NSDate+TimeAgo.h"
#include "engine/desktop/EngineBridge.h"
#include "platform/desktop/QtText.h"

namespace {

// Group rows carry this id; a module row carries its group's row + 1.
constexpr quintptr kGroupId = 0;

QString trimmed(const std::optional<std::string>& text) {
  return text ? platform::toQString(*text).trimmed() : QString();
}

}  // namespace

QVDashboardOutlineModel::QVDashboardOutlineModel(QObject* parent) : QAbstractItemModel(parent) {}

QVDashboardOutlineModel::ModuleState QVDashboardOutlineModel::stateOf(const QVModuleSnapshot& snapshot) {
  ModuleState state;
  state.lastResult = snapshot.lastResult;
  state.isUpdating = snapshot.isUpdating;
  state.hasAllRequiredFields = snapshot.hasAllRequiredFields;
  state.displayName = snapshot.displayName ? platform::toQString(*snapshot.displayName) : QString();
  state.onClickURLString =
      snapshot.onClickURLString ? platform::toQString(*snapshot.onClickURLString) : QString();
  return state;
}

QVDashboardOutlineModel::ModuleState QVDashboardOutlineModel::readModule(const QVDashboardModule& module) {
  return stateOf(EngineBridge::snapshotOf(module));
}

void QVDashboardOutlineModel::setGroups(const std::vector<QVDashboardGroup::Pointer>& groups) {
  beginResetModel();
  groups_.clear();
  modules_.clear();
  groupStates_.clear();
  states_.clear();
  places_.clear();
  for (const auto& group : groups) {
    if (!group) continue;
    const int g = int(groups_.size());
    groups_.push_back(group);
    groupStates_.push_back({trimmed(group->name()), trimmed(group->emoji()), group->isExpanded()});
    auto modules = group->modules();
    for (int m = 0; m < int(modules.size()); ++m) {
      const auto& module = modules[size_t(m)];
      states_[module->uid()] = readModule(*module);
      places_[module->uid()] = {g, m};
    }
    modules_.push_back(std::move(modules));
  }
  endResetModel();
}

std::vector<QVDashboardModule::Pointer> QVDashboardOutlineModel::allModules() const {
  std::vector<QVDashboardModule::Pointer> all;
  for (const auto& modules : modules_) all.insert(all.end(), modules.begin(), modules.end());
  return all;
}

void QVDashboardOutlineModel::tellModuleRow(const std::string& uid) {
  const QModelIndex first = indexForModule(uid, NameColumn);
  if (!first.isValid()) return;
  Q_EMIT dataChanged(first, first.siblingAtColumn(ValueColumn));
}

bool QVDashboardOutlineModel::applySnapshot(const QVModuleSnapshot& snapshot) {
  auto it = states_.find(snapshot.uid);
  if (it == states_.end()) return false;
  // The row is read again whole: whatever changed with the result (an option filled in before the
  // run, a new click target) shows with it.
  it->second = stateOf(snapshot);
  tellModuleRow(snapshot.uid);
  return true;
}

bool QVDashboardOutlineModel::setModuleUpdating(const std::string& uid, bool updating) {
  auto it = states_.find(uid);
  if (it == states_.end()) return false;
  if (it->second.isUpdating == updating) return true;
  it->second.isUpdating = updating;
  tellModuleRow(uid);
  return true;
}

bool QVDashboardOutlineModel::refreshModule(const std::string& uid) {
  auto place = places_.find(uid);
  if (place == places_.end()) return false;
  const auto& module = modules_[size_t(place->second.group)][size_t(place->second.row)];
  states_[uid] = readModule(*module);
  tellModuleRow(uid);
  return true;
}

bool QVDashboardOutlineModel::refreshGroup(const QVDashboardGroup::Pointer& group) {
  const QModelIndex index = indexForGroup(group);
  if (!index.isValid()) return false;
  groupStates_[size_t(index.row())] = {trimmed(group->name()), trimmed(group->emoji()), group->isExpanded()};
  Q_EMIT dataChanged(index, index.siblingAtColumn(ValueColumn));
  return true;
}

QVDashboardGroup::Pointer QVDashboardOutlineModel::groupForIndex(const QModelIndex& index) const {
  if (!index.isValid() || index.model() != this || index.internalId() != kGroupId) return nullptr;
  if (index.row() < 0 || index.row() >= int(groups_.size())) return nullptr;
  return groups_[size_t(index.row())];
}

QVDashboardModule::Pointer QVDashboardOutlineModel::moduleForIndex(const QModelIndex& index) const {
  if (!index.isValid() || index.model() != this || index.internalId() == kGroupId) return nullptr;
  const auto g = size_t(index.internalId() - 1);
  if (g >= modules_.size() || index.row() < 0 || index.row() >= int(modules_[g].size())) return nullptr;
  return modules_[g][size_t(index.row())];
}

QModelIndex QVDashboardOutlineModel::indexForGroup(const QVDashboardGroup::Pointer& group, int column) const {
  for (size_t g = 0; g < groups_.size(); ++g)
    if (groups_[g] == group) return createIndex(int(g), column, kGroupId);
  return {};
}

QModelIndex QVDashboardOutlineModel::indexForModule(const std::string& uid, int column) const {
  auto it = places_.find(uid);
  if (it == places_.end()) return {};
  return createIndex(it->second.row, column, quintptr(it->second.group) + 1);
}

const QVDashboardOutlineModel::ModuleState* QVDashboardOutlineModel::stateForModule(
    const std::string& uid) const {
  auto it = states_.find(uid);
  return it == states_.end() ? nullptr : &it->second;
}

QVModuleCellState QVDashboardOutlineModel::cellState(const ModuleState& state) {
  if (!state.hasAllRequiredFields) return QVModuleCellState::MissingFields;
  if (state.isUpdating && !state.lastResult) return QVModuleCellState::Running;
  if (state.lastResult && state.lastResult->success()) return QVModuleCellState::Success;
  return QVModuleCellState::Failure;
}

QString QVDashboardOutlineModel::clickTarget(const ModuleState& state) {
  if (state.lastResult && state.lastResult->options()) {
    const auto& onClick = state.lastResult->options()->onClickString();
    if (onClick && !onClick->empty()) return platform::toQString(*onClick);
  }
  return state.onClickURLString;
}

QString QVDashboardOutlineModel::successToolTip(const QVModuleResult& result) {
  const QString line = QStringLiteral("Last Updated: %1").arg(platform::toQString(zk_timeAgo(result.date())));
  const auto& text = result.resultString();
  if (!text) return line;
  return platform::toQString(*text) + QStringLiteral("\n\n") + line;
}

QModelIndex QVDashboardOutlineModel::index(int row, int column, const QModelIndex& parent) const {
  if (row < 0 || column < 0 || column >= ColumnCount) return {};
  if (!parent.isValid()) {
    if (row >= int(groups_.size())) return {};
    return createIndex(row, column, kGroupId);
  }
  if (parent.internalId() != kGroupId || parent.row() >= int(modules_.size())) return {};
  if (row >= int(modules_[size_t(parent.row())].size())) return {};
  return createIndex(row, column, quintptr(parent.row()) + 1);
}

QModelIndex QVDashboardOutlineModel::parent(const QModelIndex& child) const {
  if (!child.isValid() || child.internalId() == kGroupId) return {};
  return createIndex(int(child.internalId() - 1), 0, kGroupId);
}

int QVDashboardOutlineModel::rowCount(const QModelIndex& parent) const {
  if (!parent.isValid()) return int(groups_.size());
  if (parent.column() != 0 || parent.internalId() != kGroupId) return 0;
  if (parent.row() < 0 || parent.row() >= int(modules_.size())) return 0;
  return int(modules_[size_t(parent.row())].size());
}

int QVDashboardOutlineModel::columnCount(const QModelIndex&) const { return ColumnCount; }

Qt::ItemFlags QVDashboardOutlineModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable;
}

QVariant QVDashboardOutlineModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.model() != this) return {};
  if (index.internalId() == kGroupId) {
    if (index.row() >= int(groupStates_.size())) return {};
    const GroupState& group = groupStates_[size_t(index.row())];
    const QString name = group.name.isEmpty() ? QStringLiteral("Group") : group.name;
    switch (role) {
      case IsGroupRole:
        return true;
      case Qt::DisplayRole:
        if (index.column() != NameColumn) return {};
        return group.emoji.isEmpty() ? name : group.emoji + QLatin1Char(' ') + name;
      case GroupNameRole:
        return name;
      case GroupEmojiRole:
        return group.emoji;
      case IsExpandedRole:
        return group.isExpanded;
      default:
        return {};
    }
  }
  const auto module = moduleForIndex(index);
  if (!module) return {};
  const ModuleState* state = stateForModule(module->uid());
  if (!state) return {};
  const QVModuleCellState cell = cellState(*state);
  switch (role) {
    case IsGroupRole:
      return false;
    case Qt::DisplayRole:
      if (index.column() == NameColumn) return state->displayName;
      return cell == QVModuleCellState::Success ? data(index, ValueTextRole) : QVariant();
    case CellStateRole:
      return int(cell);
    case IsUpdatingRole:
      return state->isUpdating;
    case ClickTargetRole:
      return clickTarget(*state);
    case ValueTextRole: {
      if (cell != QVModuleCellState::Success) return {};
      const auto& text = state->lastResult->resultString();
      return text ? platform::toQString(*text) : QStringLiteral("---");
    }
    case ValueColorRole: {
      if (cell != QVModuleCellState::Success || !state->lastResult->options()) return QColor();
      const auto& color = state->lastResult->options()->color();
      if (!color) return QColor();
      return QColor::fromRgbF(float(color->red), float(color->green), float(color->blue),
                              float(color->alpha));
    }
    case IconToolTipRole:
      if (cell == QVModuleCellState::MissingFields)
        return QStringLiteral("This module is missing one or more required fields.");
      if (cell == QVModuleCellState::Failure) {
        const auto* result = state->lastResult.get();
        return result && result->resultString() ? platform::toQString(*result->resultString()) : QString();
      }
      return {};
    case Qt::ToolTipRole:
      if (index.column() != ValueColumn) return {};
      if (cell == QVModuleCellState::Success) return successToolTip(*state->lastResult);
      return data(index, IconToolTipRole);
    default:
      return {};
  }
}
