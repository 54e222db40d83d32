#include "windows/QVGroupDetailViewController.h"

#include <QtCore/QTimer>
#include <QtWidgets/QApplication>
#include <QtWidgets/QHBoxLayout>
#include <QtWidgets/QHeaderView>
#include <QtWidgets/QLabel>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QStyle>
#include <QtWidgets/QToolButton>
#include <algorithm>
#include <cstdio>

#include "engine/QVDashboardModuleManager.h"
#include "engine/QVEngineEnvironment.h"
#include "engine/desktop/EngineBridge.h"
#include "platform/desktop/QtText.h"
#include "ui_QVGroupDetailViewController.h"
#include "uikit/NSTableView+Helpers.h"
#include "uikit/QVApplicationTheme.h"
#include "uikit/ZKAlert.h"
#include "uikit/ZKElidedLabel.h"
#include "uikit/ZKThemeManager.h"
#include "windows/QVAddModuleWindowController.h"
#include "windows/QVDashboardNotifications.h"
#include "windows/QVEditModuleWindowController.h"
#include "windows/QVRowMenu.h"

ZK_INTERFACE_FORM(QVGroupDetailViewController, QWidget);

namespace {

platform::NotificationCenter& center() { return platform::NotificationCenter::defaultCenter(); }

QString displayName(const QVDashboardModule::Pointer& module) {
  return platform::toQString(module->name().value_or(module->moduleName().value_or("")));
}

}  // namespace

QVGroupDetailViewController::~QVGroupDetailViewController() { observers_.clear(); }

QVGroupDetailViewController* QVGroupDetailViewController::controllerWithGroup(
    const QVDashboardGroup::Pointer& group, std::shared_ptr<QVDashboardModuleManager> manager,
    EngineBridge* bridge, QObject* parent) {
  auto* pane = new QVGroupDetailViewController(parent);
  pane->group_ = group;
  pane->manager_ = manager ? std::move(manager) : QVDashboardModuleManager::sharedInstance();
  pane->bridge_ = bridge;
  pane->loadFromInterface();
  return pane;
}

std::string QVGroupDetailViewController::identityOfGroup(const QVDashboardGroup::Pointer& group) {
  char identity[32];
  std::snprintf(identity, sizeof identity, "group-%p", static_cast<const void*>(group.get()));
  return identity;
}

QVDashboardGroup::Modules QVGroupDetailViewController::modules() const {
  auto group = group_.lock();
  return group ? group->modules() : QVDashboardGroup::Modules{};
}

ZKDeleteTableView* QVGroupDetailViewController::tableView() const {
  return ui<Ui::QVGroupDetailViewController>()->tableView;
}
QAbstractButton* QVGroupDetailViewController::addButton() const {
  return ui<Ui::QVGroupDetailViewController>()->addButton;
}
QAbstractButton* QVGroupDetailViewController::removeButton() const {
  return ui<Ui::QVGroupDetailViewController>()->removeButton;
}

QLineEdit* QVGroupDetailViewController::nameFieldAtRow(int row) const {
  auto* cell = tableView()->indexWidget(model_->index(row, 0));
  return cell ? cell->findChild<QLineEdit*>() : nullptr;
}

void QVGroupDetailViewController::zk_viewDidLoad() {
  if (!manager_) manager_ = QVDashboardModuleManager::sharedInstance();
  model_ = new QVRowListModel(QString::fromLatin1(ZKModuleDraggingType), this);
  model_->count = [this] { return static_cast<int>(modules().size()); };
  model_->sourceIdentity = [this] { return identityOfGroup(group_.lock()); };
  model_->acceptedTypes = {QString::fromLatin1(ZKModuleDraggingType)};
  model_->validateDrop = [](const QVRowListModel::Drop& drop) { return !drop.onRow; };
  model_->acceptDrop = [this](const QVRowListModel::Drop& drop) { return acceptDrop(drop); };
  auto* table = tableView();
  table->setModel(model_);
  table->setDeleteDelegate(this);
  table->horizontalHeader()->setStretchLastSection(true);
  connect(table, &QAbstractItemView::doubleClicked, this,
          &QVGroupDetailViewController::didDoubleClickTableView);
  connect(table->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
    validateAddRemoveButton();
    updateCellColors();
  });
  connect(addButton(), &QAbstractButton::clicked, this, [this] { showAddModule(); });
  connect(removeButton(), &QAbstractButton::clicked, this, [this] { removeSelectedItem(); });
  setUpRowMenu();
  reloadData();
  validateAddRemoveButton();
  QPointer<QVGroupDetailViewController> self(this);
  observers_.push_back(center().addObserverForName(
      QVOpenEditWithModuleNotification, nullptr, [self](const platform::Notification& note) {
        if (self) self->editFromNotification(note.objectAs<QVDashboardModule>());
      }));
  observers_.push_back(center().addObserverForName(ZKThemeManagerNotificationThemeDidUpdate, nullptr,
                                                   [self](const platform::Notification&) {
                                                     // After the window has taken the new theme.
                                                     QTimer::singleShot(0, self, [self] {
                                                       if (self) self->updateCellColors();
                                                     });
                                                   }));
  observers_.push_back(center().addObserverForName(
      QVReloadDataForGroupNotification, nullptr, [self](const platform::Notification& note) {
        if (self && note.objectAs<QVDashboardGroup>() == self->group()) self->reloadData();
      }));
}

void QVGroupDetailViewController::setUpRowMenu() {
  rowMenu_ = new QVRowMenu(tableView());
  auto count = [this] { return static_cast<int>(modules().size()); };
  auto hasRow = [count](const std::vector<int>& rows) { return QVRowMenu::hasRow(rows, count()); };
  rowMenu_->addItem(
      QStringLiteral("&Run Now"), QVRowMenu::runNowShortcut(), [this] { runModule(); }, hasRow);
  rowMenu_->addItem(
      QStringLiteral("&Edit…"), {}, [this] { editSelectedRow(); }, hasRow);
  rowMenu_->addItem(
      QStringLiteral("Re&name"), QVRowMenu::renameShortcut(), [this] { editName(); }, hasRow);
  rowMenu_->addItem(
      QStringLiteral("&Duplicate"), QVRowMenu::duplicateShortcut(), [this] { duplicate(); }, hasRow);
  rowMenu_->addSeparator();
  rowMenu_->addItem(
      QStringLiteral("Move &Up"), QVRowMenu::moveUpShortcut(), [this] { moveUp(); },
      [count](const std::vector<int>& rows) { return QVRowMenu::canMoveUp(rows, count()); });
  rowMenu_->addItem(
      QStringLiteral("Move Do&wn"), QVRowMenu::moveDownShortcut(), [this] { moveDown(); },
      [count](const std::vector<int>& rows) { return QVRowMenu::canMoveDown(rows, count()); });
  rowMenu_->addSeparator();
  rowMenu_->addItem(
      QStringLiteral("De&lete…"), QVRowMenu::deleteShortcut(), [this] { removeSelectedItem(); }, hasRow);
}

void QVGroupDetailViewController::reloadData() {
  const auto selected = zk_selectedRows(tableView());
  model_->reload();
  const auto list = modules();
  auto* table = tableView();
  for (int row = 0; row < static_cast<int>(list.size()); ++row) {
    const auto& module = list[static_cast<std::size_t>(row)];
    auto* cell = new QWidget;
    auto* layout = new QHBoxLayout(cell);
    layout->setContentsMargins(6, 2, 6, 2);
    auto* image = new QLabel;
    const bool complete = module->hasAllRequiredFields();
    image->setObjectName(complete ? QStringLiteral("pluginImage") : QStringLiteral("cautionImage"));
    image->setPixmap(QApplication::style()
                         ->standardIcon(complete ? QStyle::SP_FileIcon : QStyle::SP_MessageBoxWarning)
                         .pixmap(24, 24));
    image->setAttribute(Qt::WA_TransparentForMouseEvents);
    layout->addWidget(image);
    auto* texts = new QVBoxLayout;
    texts->setSpacing(0);
    auto* name = new QLineEdit(displayName(module));
    name->setFrame(false);
    name->setReadOnly(true);
    name->setAccessibleName(QStringLiteral("Module name"));
    name->setAttribute(Qt::WA_TransparentForMouseEvents);
    connect(name, &QLineEdit::editingFinished, this, [this, row] { didChangeModuleName(row); });
    // A description longer than the row ends in "…" and shows whole in its tooltip.
    auto* detail = new ZKElidedLabel(complete ? platform::toQString(module->moduleDescription().value_or(""))
                                              : QString::fromLatin1(kIncompleteModuleLine));
    detail->setObjectName(QStringLiteral("detailLabel"));
    detail->setAttribute(Qt::WA_TransparentForMouseEvents);
    texts->addWidget(name);
    texts->addWidget(detail);
    layout->addLayout(texts, 1);
    auto* edit = new QPushButton(QStringLiteral("Edit"));
    edit->setAccessibleName(QStringLiteral("Edit ") + displayName(module));
    connect(edit, &QPushButton::clicked, this, [this, row] { this->edit(row); });
    layout->addWidget(edit);
    table->setIndexWidget(model_->index(row, 0), cell);
  }
  zk_selectRows(table, selected);
  updateCellColors();
}

void QVGroupDetailViewController::updateCellColors() {
  // The cells sit in a table with a style sheet, which neither hands them its palette nor keeps one
  // given to them: their text colour goes into their own style sheets.
  const QPalette theme = QVApplicationTheme::currentThemePalette(QApplication::palette());
  const auto selected = zk_selectedRows(tableView());
  const int count = model_ ? model_->rowCount() : 0;
  for (int row = 0; row < count; ++row) {
    auto* cell = tableView()->indexWidget(model_->index(row, 0));
    if (!cell) continue;
    const bool on = std::find(selected.begin(), selected.end(), row) != selected.end();
    const QString color = theme.color(on ? QPalette::HighlightedText : QPalette::Text).name(QColor::HexArgb);
    if (auto* name = cell->findChild<QLineEdit*>())
      name->setStyleSheet(QStringLiteral("background: transparent; font-weight: bold; color: %1").arg(color));
    if (auto* detail = cell->findChild<QLabel*>(QStringLiteral("detailLabel")))
      detail->setStyleSheet(QStringLiteral("color: %1").arg(color));
  }
}

void QVGroupDetailViewController::validateAddRemoveButton() { removeButton()->setEnabled(!rows().empty()); }

std::vector<int> QVGroupDetailViewController::rows() const {
  return zk_selectedOrClickedIndexes(tableView());
}

void QVGroupDetailViewController::beep() { QApplication::beep(); }

void QVGroupDetailViewController::save() {
  if (manager_) manager_->save();
}

void QVGroupDetailViewController::showAddModule() {
  if (addWindowController_) return;
  auto* sheet = QVAddModuleWindowController::controllerWithManager(manager_, this);
  addWindowController_ = sheet;
  QPointer<QVGroupDetailViewController> self(this);
  sheet->completionBlock = [self](std::optional<std::vector<QVDashboardModule::Pointer>> chosen) {
    auto modules = chosen.value_or(std::vector<QVDashboardModule::Pointer>{});
    QTimer::singleShot(100, qApp, [self, modules] {
      if (self) self->handleAddCompletion(modules);
    });
  };
  sheet->beginSheetInWindow(parentWindow());
}

void QVGroupDetailViewController::handleAddCompletion(
    const std::vector<QVDashboardModule::Pointer>& modules) {
  if (addWindowController_) addWindowController_->deleteLater();
  addWindowController_ = nullptr;
  auto group = group_.lock();
  if (modules.empty() || !group) return;
  for (const auto& module : modules) group->addModule(module);
  reloadData();
  save();
}

void QVGroupDetailViewController::edit(int row) {
  zk_selectRows(tableView(), {row});
  editSelectedRow();
}

void QVGroupDetailViewController::editSelectedRow() {
  const auto selected = rows();
  const auto list = modules();
  if (selected.empty() || selected.front() >= static_cast<int>(list.size())) return beep();
  auto* sheet = QVEditModuleWindowController::controllerWithModule(
      list[static_cast<std::size_t>(selected.front())], manager_, bridge_, this);
  editWindowController_ = sheet;
  QPointer<QVGroupDetailViewController> self(this);
  sheet->completionBlock = [self] {
    QTimer::singleShot(100, qApp, [self] {
      if (!self) return;
      if (self->editWindowController_) self->editWindowController_->deleteLater();
      self->editWindowController_ = nullptr;
      self->reloadData();
    });
  };
  sheet->beginSheetInWindow(parentWindow());
}

void QVGroupDetailViewController::startNameEdit(int row) {
  auto* field = nameFieldAtRow(row);
  if (!field) return beep();
  zk_beginFieldEdit(field);
}

void QVGroupDetailViewController::editName() {
  const auto selected = rows();
  if (selected.empty()) return beep();
  startNameEdit(selected.front());
}

void QVGroupDetailViewController::didChangeModuleName(int row) {
  auto* field = nameFieldAtRow(row);
  const auto list = modules();
  if (!field || field->isReadOnly() || row >= static_cast<int>(list.size())) return;
  const auto& module = list[static_cast<std::size_t>(row)];
  const QString trimmed = field->text().trimmed();
  if (trimmed.isEmpty()) {
    field->setText(displayName(module));
  } else {
    module->setName(platform::toStdString(trimmed));
    field->setText(trimmed);
    save();
  }
  // The field is editable only while an edit runs.
  zk_endFieldEdit(field);
}

void QVGroupDetailViewController::runModule() {
  const auto selected = rows();
  const auto list = modules();
  if (selected.empty() || selected.front() >= static_cast<int>(list.size())) return beep();
  QVEngineEnvironment::runModule(list[static_cast<std::size_t>(selected.front())]);
}

void QVGroupDetailViewController::duplicate() {
  auto group = group_.lock();
  const auto selected = rows();
  const auto picked = QVItemsAtRows(modules(), std::vector<std::int64_t>(selected.begin(), selected.end()));
  if (!group || !picked) return beep();
  // Adding a copy runs it when it has its required options; it is not run a second time.
  for (const auto& module : *picked) group->addModule(module->copyWithUserOptions(), false);
  reloadData();
  save();
}

void QVGroupDetailViewController::move(bool up) {
  auto group = group_.lock();
  auto list = modules();
  const auto selected = rows();
  if (!group || selected.empty() || selected.front() >= static_cast<int>(list.size())) return beep();
  const auto from = selected.front();
  const auto to = QVMovedRow(from, static_cast<std::int64_t>(list.size()), up);
  auto module = list[static_cast<std::size_t>(from)];
  list.erase(list.begin() + from);
  list.insert(list.begin() + to, module);
  group->updateModules(list);
  save();
  reloadData();
  zk_selectRows(tableView(), {static_cast<int>(to)});
}

void QVGroupDetailViewController::removeSelectedItem() {
  const auto selected = rows();
  const auto picked = QVItemsAtRows(modules(), std::vector<std::int64_t>(selected.begin(), selected.end()));
  if (!picked) return beep();
  auto alert = ZKAlert::alert();
  alert->messageText = QStringLiteral("Are you sure you want to delete this module?");
  alert->informativeText = QStringLiteral("This action cannot be undone.");
  alert->addButtonWithTitle(QStringLiteral("Delete"));
  alert->addButtonWithTitle(QStringLiteral("Cancel"));
  QPointer<QVGroupDetailViewController> self(this);
  std::vector<std::weak_ptr<QVDashboardModule>> doomed(picked->begin(), picked->end());
  zk_beginSheetModalForWindow(alert, parentWindow(), [self, doomed](ZKModalResponse response) {
    if (response != ZKAlertFirstButtonReturn) return;
    QTimer::singleShot(200, qApp, [self, doomed] {
      if (!self) return;
      auto group = self->group();
      if (!group) return;
      QVDashboardGroup::Modules modules;
      for (const auto& weak : doomed)
        if (auto module = weak.lock(); module && module->group() == group) modules.push_back(module);
      group->removeModules(modules);
      self->save();
      self->reloadData();
      self->validateAddRemoveButton();
    });
  });
}

void QVGroupDetailViewController::didDoubleClickTableView(const QModelIndex& index) {
  const auto selected = rows();
  if (selected.empty()) return beep();
  // A double click on the name of the first selected row renames; anywhere else edits.
  auto* field = nameFieldAtRow(selected.front());
  const QPoint cursor = field ? field->mapFromGlobal(QCursor::pos()) : QPoint(-1, -1);
  if (field && index.row() == selected.front() && field->rect().contains(cursor))
    startNameEdit(selected.front());
  else
    editSelectedRow();
}

void QVGroupDetailViewController::editFromNotification(const QVDashboardModule::Pointer& module) {
  if (editWindowController_ || !module) return;
  const auto list = modules();
  const auto found = std::find(list.begin(), list.end(), module);
  if (found == list.end()) return;
  zk_selectRows(tableView(), {static_cast<int>(found - list.begin())});
  editSelectedRow();
}

bool QVGroupDetailViewController::acceptDrop(const QVRowListModel::Drop& drop) {
  auto group = group_.lock();
  if (!group) return false;
  // Only rows of this group are reordered here; rows of another group are moved by the group list.
  if (drop.rows.source != identityOfGroup(group)) {
    reloadData();
    return false;
  }
  auto list = modules();
  const auto result = QVDropRows(static_cast<std::int64_t>(list.size()), drop.rows.rows, drop.row);
  if (!result) {
    reloadData();
    return false;
  }
  QVDashboardGroup::Modules reordered;
  for (const auto row : result->order) reordered.push_back(list[static_cast<std::size_t>(row)]);
  group->updateModules(reordered);
  save();
  reloadData();
  std::vector<int> block;
  for (std::int64_t i = 0; i < result->rowCount; ++i) block.push_back(static_cast<int>(result->firstRow + i));
  zk_selectRows(tableView(), block);
  return true;
}
