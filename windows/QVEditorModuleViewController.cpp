#include "windows/QVEditorModuleViewController.h"

#include <QtCore/QTimer>
#include <QtGui/QCursor>
#include <QtWidgets/QApplication>
#include <QtWidgets/QFrame>
#include <QtWidgets/QHBoxLayout>
#include <QtWidgets/QHeaderView>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QToolButton>
#include <QtWidgets/QVBoxLayout>

#include "engine/QVDashboardModuleManager.h"
#include "engine/desktop/EngineBridge.h"
#include "platform/desktop/QtText.h"
#include "ui_QVEditorModuleViewController.h"
#include "uikit/NSTableView+Helpers.h"
#include "uikit/QVApplicationTheme.h"
#include "uikit/QVEmojiButtonCell.h"
#include "uikit/ZKAlert.h"
#include "uikit/ZKButton.h"
#include "uikit/ZKTheme.h"
#include "windows/QVGroupDetailViewController.h"
#include "windows/QVRowMenu.h"

ZK_INTERFACE_FORM(QVEditorModuleViewController, QWidget);

namespace {

platform::NotificationCenter& center() { return platform::NotificationCenter::defaultCenter(); }

// The popup that holds the emoji picker; tells its owner when it closes, however it closes.
class QVEmojiPopover : public QFrame {
 public:
  explicit QVEmojiPopover(QWidget* parent) : QFrame(parent, Qt::Popup) {
    setFrameShape(QFrame::StyledPanel);
    // The picker always shows in the light theme's colours, whatever the current theme.
    setPalette(
        QVApplicationTheme::paletteOfTheme(ZKTheme::sharedTheme(QStringLiteral("DDLightTheme")), palette()));
    setAutoFillBackground(true);
  }
  std::function<void()> didClose;

 protected:
  void hideEvent(QHideEvent* event) override {
    QFrame::hideEvent(event);
    if (auto close = std::exchange(didClose, nullptr)) close();
  }
};

}  // namespace

QVEditorModuleViewController::QVEditorModuleViewController(QObject* parent) : ZKModuleViewController(parent) {
  setModuleTitle(QStringLiteral("Module Config"));
}

QVEditorModuleViewController::~QVEditorModuleViewController() {
  observers_.clear();
  // Closing the popup here must not call back into the pane being destroyed.
  if (auto* popover = static_cast<QVEmojiPopover*>(popover_.data())) popover->didClose = nullptr;
  delete popover_;
}

QVEditorModuleViewController* QVEditorModuleViewController::controllerWithManager(
    std::shared_ptr<QVDashboardModuleManager> manager, EngineBridge* bridge, QObject* parent) {
  auto* pane = new QVEditorModuleViewController(parent);
  pane->manager_ = std::move(manager);
  pane->bridge_ = bridge;
  pane->loadFromInterface();
  return pane;
}

std::vector<QVDashboardGroup::Pointer> QVEditorModuleViewController::groups() const {
  return manager_ ? manager_->groups() : std::vector<QVDashboardGroup::Pointer>{};
}

ZKDeleteTableView* QVEditorModuleViewController::tableView() const {
  return ui<Ui::QVEditorModuleViewController>()->tableView;
}
QWidget* QVEditorModuleViewController::moduleContentView() const {
  return ui<Ui::QVEditorModuleViewController>()->moduleContentView;
}
QAbstractButton* QVEditorModuleViewController::addButton() const {
  return ui<Ui::QVEditorModuleViewController>()->addButton;
}
QAbstractButton* QVEditorModuleViewController::removeButton() const {
  return ui<Ui::QVEditorModuleViewController>()->removeButton;
}

QLineEdit* QVEditorModuleViewController::nameFieldAtRow(int row) const {
  auto* cell = tableView()->indexWidget(model_->index(row, 0));
  return cell ? cell->findChild<QLineEdit*>() : nullptr;
}

QAbstractButton* QVEditorModuleViewController::emojiButtonAtRow(int row) const {
  auto* cell = tableView()->indexWidget(model_->index(row, 0));
  return cell ? cell->findChild<ZKButton*>() : nullptr;
}

void QVEditorModuleViewController::zk_viewDidLoad() {
  if (!manager_) manager_ = QVDashboardModuleManager::sharedInstance();
  pendingRow_ = -1;
  model_ = new QVRowListModel(QString::fromLatin1(ZKGroupDraggingType), this);
  model_->count = [this] { return static_cast<int>(groups().size()); };
  model_->sourceIdentity = [] { return std::string(); };
  model_->acceptedTypes = {QString::fromLatin1(ZKModuleDraggingType),
                           QString::fromLatin1(ZKGroupDraggingType)};
  model_->validateDrop = [this](const QVRowListModel::Drop& drop) { return validateDrop(drop); };
  model_->acceptDrop = [this](const QVRowListModel::Drop& drop) {
    return drop.type == QString::fromLatin1(ZKModuleDraggingType) ? acceptModuleDrop(drop)
                                                                  : acceptGroupDrop(drop);
  };
  auto* table = tableView();
  table->setModel(model_);
  table->setDeleteDelegate(this);
  connect(table, &QAbstractItemView::doubleClicked, this, [this] { editName(); });
  connect(table->selectionModel(), &QItemSelectionModel::selectionChanged, this,
          [this] { tableViewSelectionDidChange(); });
  connect(addButton(), &QAbstractButton::clicked, this, [this] {
    tableView()->setFocus();
    addNewGroup();
  });
  connect(removeButton(), &QAbstractButton::clicked, this, [this] {
    tableView()->setFocus();
    removeSelectedItem();
  });
  setUpRowMenu();
  moduleContentView()->setLayout(new QVBoxLayout);
  moduleContentView()->layout()->setContentsMargins(0, 0, 0, 0);
  reloadData();
  validateAddRemoveButton();
  tableViewSelectionDidChange();
  QPointer<QVEditorModuleViewController> self(this);
  observers_.push_back(center().addObserverForName(
      QVEditWithModuleNotification, nullptr, [self](const platform::Notification& note) {
        if (self) self->editFromNotification(note.objectAs<QVDashboardModule>());
      }));
}

void QVEditorModuleViewController::setUpRowMenu() {
  rowMenu_ = new QVRowMenu(tableView());
  auto count = [this] { return static_cast<int>(groups().size()); };
  auto hasRow = [count](const std::vector<int>& rows) { return QVRowMenu::hasRow(rows, count()); };
  rowMenu_->addItem(
      QStringLiteral("Re&name"), QVRowMenu::renameShortcut(), [this] { editName(); }, hasRow);
  rowMenu_->addItem(
      QStringLiteral("&Duplicate"), QVRowMenu::duplicateShortcut(), [this] { duplicateGroup(); }, hasRow);
  rowMenu_->addSeparator();
  rowMenu_->addItem(
      QStringLiteral("Move &Up"), QVRowMenu::moveUpShortcut(), [this] { moveUp(); },
      [count](const std::vector<int>& rows) { return QVRowMenu::canMoveUp(rows, count()); });
  rowMenu_->addItem(
      QStringLiteral("Move Do&wn"), QVRowMenu::moveDownShortcut(), [this] { moveDown(); },
      [count](const std::vector<int>& rows) { return QVRowMenu::canMoveDown(rows, count()); });
  rowMenu_->addSeparator();
  // The last group cannot be deleted.
  rowMenu_->addItem(
      QStringLiteral("De&lete…"), QVRowMenu::deleteShortcut(), [this] { removeSelectedItem(); },
      [count](const std::vector<int>& rows) { return QVRowMenu::hasRow(rows, count()) && count() > 1; });
}

QSize QVEditorModuleViewController::windowSizeWithController(ZKViewController* controller) const {
  QSizeF size = controller->viewMinSize();
  if (size.isEmpty()) size = controller->view()->size();
  auto* content = const_cast<QVEditorModuleViewController*>(this)->view();
  const QRect frame(moduleContentView()->mapTo(content, QPoint(0, 0)), moduleContentView()->size());
  return QSize(static_cast<int>(size.width()) + frame.x(),
               static_cast<int>(size.height()) + (content->height() - frame.height()));
}

bool QVEditorModuleViewController::resizeWindowIfNeededForViewController(ZKViewController* controller) {
  const QSize size = windowSizeWithController(controller);
  auto* window = parentWindow();
  if (!window || size.isEmpty()) return false;
  window->resize(size);
  return true;
}

void QVEditorModuleViewController::setCurrentViewController(QVGroupDetailViewController* controller) {
  if (controller == currentViewController_) return;
  auto* old = currentViewController_.data();
  if (old) old->zk_viewWillDisappear();
  controller->zk_viewWillAppear();
  if (old) {
    old->view()->hide();
    moduleContentView()->layout()->removeWidget(old->view());
    old->zk_viewDidDisappear();
    old->deleteLater();
  }
  currentViewController_ = controller;
  controller->setParentWindow(parentWindow());
  moduleContentView()->layout()->addWidget(controller->view());
  controller->view()->show();
  controller->zk_viewDidAppear();
}

void QVEditorModuleViewController::reloadData() {
  model_->reload();
  const auto list = groups();
  auto* table = tableView();
  for (int row = 0; row < static_cast<int>(list.size()); ++row) {
    const auto& group = list[static_cast<std::size_t>(row)];
    auto* cell = new QWidget;
    auto* layout = new QHBoxLayout(cell);
    layout->setContentsMargins(4, 0, 4, 0);
    auto* emoji = new ZKButton;
    emoji->setCell(std::make_unique<QVEmojiButtonCell>());
    emoji->setFlat(true);
    emoji->setFixedSize(26, 26);
    emoji->setText(platform::toQString(group->emoji().value_or("")));
    emoji->setToolTip(QString::fromLatin1(kEmojiToolTip));
    emoji->setAccessibleName(QStringLiteral("Group icon"));
    connect(emoji, &QPushButton::clicked, this, [this, row] { selectEmoji(row); });
    layout->addWidget(emoji);
    auto* name = new QLineEdit(platform::toQString(group->name().value_or("")));
    name->setFrame(false);
    name->setReadOnly(true);
    name->setAccessibleName(QStringLiteral("Group name"));
    name->setAttribute(Qt::WA_TransparentForMouseEvents);
    name->setStyleSheet(QStringLiteral("background: transparent"));
    connect(name, &QLineEdit::editingFinished, this, [this, row] { didChangeGroupName(row); });
    layout->addWidget(name, 1);
    table->setIndexWidget(model_->index(row, 0), cell);
  }
}

void QVEditorModuleViewController::reloadSelectingRow(int row) {
  reloadData();
  zk_selectRows(tableView(), {row});
  tableViewSelectionDidChange();
}

std::vector<int> QVEditorModuleViewController::rows() const {
  return zk_selectedOrClickedIndexes(tableView());
}

void QVEditorModuleViewController::beep() { QApplication::beep(); }

void QVEditorModuleViewController::save() {
  if (manager_) manager_->save();
}

void QVEditorModuleViewController::tableViewSelectionDidChange() {
  validateAddRemoveButton();
  const auto list = groups();
  if (list.empty()) return;
  const auto selected = rows();
  int row = selected.empty() ? 0 : selected.front();
  row = std::min(row, static_cast<int>(list.size()) - 1);
  const auto& group = list[static_cast<std::size_t>(row)];
  if (currentViewController_ && currentViewController_->group() == group) return;
  setCurrentViewController(QVGroupDetailViewController::controllerWithGroup(group, manager_, bridge_, this));
}

void QVEditorModuleViewController::validateAddRemoveButton() {
  removeButton()->setEnabled(!rows().empty() && groups().size() > 1);
}

void QVEditorModuleViewController::startNameEdit(int row) {
  auto* field = nameFieldAtRow(row);
  if (!field) return beep();
  zk_beginFieldEdit(field);
}

void QVEditorModuleViewController::addNewGroup() {
  auto group = QVDashboardGroup::groupWithName(std::string(kNewGroupName));
  manager_->addGroup(group);
  const auto list = groups();
  const auto found = std::find(list.begin(), list.end(), group);
  const int row = static_cast<int>(found - list.begin());
  reloadSelectingRow(row);
  startNameEdit(row);
}

void QVEditorModuleViewController::duplicateGroup() {
  const auto selected = rows();
  const auto list = groups();
  if (selected.empty() || selected.front() >= static_cast<int>(list.size())) return beep();
  const auto& original = list[static_cast<std::size_t>(selected.front())];
  auto copy = QVDashboardGroup::groupWithName(original->name());
  copy->setEmoji(original->emoji());
  copy->setIsExpanded(original->isExpanded());
  // Adding a copy runs it when its required options are filled.
  for (const auto& module : original->modules()) copy->addModule(module->copyWithUserOptions(), false);
  manager_->addGroup(copy);
  save();
  QPointer<QVEditorModuleViewController> self(this);
  QTimer::singleShot(200, qApp, [self] {
    if (self) self->reloadSelectingRow(static_cast<int>(self->groups().size()) - 1);
  });
}

void QVEditorModuleViewController::editName() {
  const auto selected = rows();
  if (selected.empty()) return beep();
  startNameEdit(selected.front());
}

void QVEditorModuleViewController::didChangeGroupName(int row) {
  auto* field = nameFieldAtRow(row);
  const auto list = groups();
  if (!field || field->isReadOnly() || row >= static_cast<int>(list.size())) return;
  const auto& group = list[static_cast<std::size_t>(row)];
  const QString trimmed = field->text().trimmed();
  if (trimmed.isEmpty()) {
    beep();
    field->setText(platform::toQString(group->name().value_or("")));
  } else {
    group->setName(platform::toStdString(trimmed));
    field->setText(trimmed);
    save();
  }
  zk_endFieldEdit(field);
}

void QVEditorModuleViewController::move(bool up) {
  auto list = groups();
  const auto selected = rows();
  if (selected.empty() || selected.front() >= static_cast<int>(list.size())) return beep();
  const auto from = selected.front();
  const auto to = QVMovedRow(from, static_cast<std::int64_t>(list.size()), up);
  auto group = list[static_cast<std::size_t>(from)];
  list.erase(list.begin() + from);
  list.insert(list.begin() + to, group);
  manager_->updateGroups(list);
  save();
  reloadSelectingRow(static_cast<int>(to));
}

void QVEditorModuleViewController::removeSelectedItem() {
  const auto selected = rows();
  const auto list = groups();
  if (selected.empty() || list.size() <= 1 || selected.front() >= static_cast<int>(list.size()))
    return beep();
  const int row = selected.front();
  std::weak_ptr<QVDashboardGroup> doomed = list[static_cast<std::size_t>(row)];
  tableView()->setFocus();
  auto alert = ZKAlert::alert();
  alert->messageText =
      QStringLiteral("Are you sure you want to delete this group and all its corresponding items?");
  alert->informativeText = QStringLiteral("This action cannot be undone.");
  alert->addButtonWithTitle(QStringLiteral("Delete"));
  alert->addButtonWithTitle(QStringLiteral("Cancel"));
  QPointer<QVEditorModuleViewController> self(this);
  zk_beginSheetModalForWindow(alert, parentWindow(), [self, doomed, row](ZKModalResponse response) {
    if (response != ZKAlertFirstButtonReturn) return;
    QTimer::singleShot(200, qApp, [self, doomed, row] {
      auto group = doomed.lock();
      if (!self || !group) return;
      // The last group stays, whatever happened while the alert was up.
      if (self->groups().size() <= 1) return self->beep();
      self->manager_->removeGroup(group);
      self->save();
      self->reloadSelectingRow(
          static_cast<int>(QVRowAfterDeletion(row, static_cast<std::int64_t>(self->groups().size()))));
    });
  });
}

void QVEditorModuleViewController::selectEmoji(int row) {
  pendingRow_ = row;
  auto* popover = new QVEmojiPopover(view());
  popover_ = popover;
  auto* picker = QVEmojiPickerViewController::controllerWithManager(nullptr, popover);
  emojiPickerViewController_ = picker;
  picker->delegate = this;
  auto* layout = new QVBoxLayout(popover);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(picker->view());
  popover->resize(300, 340);
  QPointer<QVEditorModuleViewController> self(this);
  popover->didClose = [self] {
    if (self) self->popoverDidClose();
  };
  auto* button = emojiButtonAtRow(row);
  const QPoint anchor = button ? button->mapToGlobal(QPoint(0, button->height())) : QCursor::pos();
  popover->move(anchor);
  popover->show();
}

void QVEditorModuleViewController::emojiPickerDidSelectEmoji(QVEmojiPickerViewController*,
                                                             const std::string& emoji) {
  const auto list = groups();
  if (pendingRow_ >= 0 && pendingRow_ < static_cast<std::int64_t>(list.size())) {
    list[static_cast<std::size_t>(pendingRow_)]->setEmoji(emoji);
    const auto selected = zk_selectedRows(tableView());
    reloadData();
    zk_selectRows(tableView(), selected);
    save();
  }
  if (popover_) popover_->hide();
}

void QVEditorModuleViewController::popoverDidClose() {
  pendingRow_ = -1;
  if (emojiPickerViewController_) emojiPickerViewController_->delegate = nullptr;
  emojiPickerViewController_ = nullptr;
  if (popover_) popover_->deleteLater();
  popover_ = nullptr;
}

void QVEditorModuleViewController::editFromNotification(const QVDashboardModule::Pointer& module) {
  if (!module) return;
  auto group = module->group();
  if (!group) return;
  const auto list = groups();
  const auto found = std::find(list.begin(), list.end(), group);
  if (found == list.end()) return;
  zk_selectRows(tableView(), {static_cast<int>(found - list.begin())});
  tableViewSelectionDidChange();
  center().postNotificationName(QVOpenEditWithModuleNotification, this, module);
}

bool QVEditorModuleViewController::validateDrop(const QVRowListModel::Drop& drop) const {
  if (drop.type == QString::fromLatin1(ZKGroupDraggingType)) return !drop.onRow;
  return drop.onRow;
}

bool QVEditorModuleViewController::acceptGroupDrop(const QVRowListModel::Drop& drop) {
  auto list = groups();
  const auto result = QVDropRows(static_cast<std::int64_t>(list.size()), drop.rows.rows, drop.row);
  if (!result) {
    reloadData();
    return false;
  }
  std::vector<QVDashboardGroup::Pointer> reordered;
  for (const auto row : result->order) reordered.push_back(list[static_cast<std::size_t>(row)]);
  manager_->updateGroups(reordered);
  save();
  reloadData();
  std::vector<int> block;
  for (std::int64_t i = 0; i < result->rowCount; ++i) block.push_back(static_cast<int>(result->firstRow + i));
  zk_selectRows(tableView(), block);
  tableViewSelectionDidChange();
  return true;
}

bool QVEditorModuleViewController::acceptModuleDrop(const QVRowListModel::Drop& drop) {
  const auto list = groups();
  if (drop.row < 0 || drop.row >= static_cast<int>(list.size())) return false;
  // The source is the group named in the drag data, which must still be one of the groups.
  QVDashboardGroup::Pointer source;
  for (const auto& group : list)
    if (QVGroupDetailViewController::identityOfGroup(group) == drop.rows.source) source = group;
  const auto& target = list[static_cast<std::size_t>(drop.row)];
  if (!source || source == target) return false;
  // Every dragged module is resolved before any is moved; a stale index moves nothing.
  const auto moving = QVItemsAtRows(source->modules(), drop.rows.rows);
  if (!moving) return false;
  for (const auto& module : *moving) {
    source->removeModule(module, false);
    target->addModule(module, false);
  }
  zk_selectRows(tableView(), {drop.row});
  tableViewSelectionDidChange();
  save();
  return true;
}
