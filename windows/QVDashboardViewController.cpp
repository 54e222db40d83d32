#include "windows/QVDashboardViewController.h"

#include <QtCore/QTimer>
#include <QtGui/QGuiApplication>
#include <QtGui/QScreen>
#include <QtGui/QWheelEvent>
#include <QtWidgets/QApplication>
#include <QtWidgets/QHeaderView>
#include <QtWidgets/QLayout>
#include <QtWidgets/QScrollBar>
#include <algorithm>
#include <cmath>

#include "engine/QVDashboardModuleManager.h"
#include "engine/desktop/EngineBridge.h"
#include "platform/desktop/DesktopServices.h"
#include "platform/desktop/QtText.h"
#include "ui_QVDashboardViewController.h"
#include "uikit/NSTableView+Helpers.h"
#include "uikit/ZKAlert.h"
#include "uikit/ZKThemableTableRowView.h"
#include "uikit/ZKThemableTableView.h"
#include "uikit/ZKThemeManager.h"
#include "windows/QVDashboardCellView.h"
#include "windows/QVDashboardNotifications.h"
#include "windows/QVDashboardOutlineModel.h"
#include "windows/QVDashboardServices.h"

ZK_INTERFACE_FORM(QVDashboardViewController, QWidget);

namespace {

constexpr int kMinimumViewHeight = 28;
constexpr const char* kDisableWindowClosing = "Notification.disableWindowClosing";
constexpr const char* kEnableWindowClosing = "Notification.enableWindowClosing";

platform::NotificationCenter& center() { return platform::NotificationCenter::defaultCenter(); }

}  // namespace

QVDashboardViewController::QVDashboardViewController(QObject* parent) : ZKViewController(parent) {}

QVDashboardViewController::~QVDashboardViewController() = default;

const std::vector<QVDashboardGroup::Pointer>& QVDashboardViewController::groupsArray() const {
  return model_->groups();
}

void QVDashboardViewController::zk_viewDidLoad() {
  auto* form = ui<Ui::QVDashboardViewController>();
  outlineView_ = form ? form->outlineView : new SBOutlineView(view());
  auto& services = QVDashboardServices::current();
  manager_ = services.manager;
  bridge_ = services.engineBridge();

  model_ = new QVDashboardOutlineModel(this);
  cells_ = new QVDashboardCellView(this);
  outlineView_->setDelegate(this);
  outlineView_->setItemDelegate(cells_);
  outlineView_->setModel(model_);
  outlineView_->header()->setStretchLastSection(false);
  outlineView_->header()->setSectionResizeMode(QVDashboardOutlineModel::NameColumn, QHeaderView::Stretch);
  outlineView_->header()->setSectionResizeMode(QVDashboardOutlineModel::ValueColumn, QHeaderView::Stretch);
  outlineView_->viewport()->installEventFilter(this);
  outlineView_->setRowViewForGroupRows(std::make_shared<QVThemedGroupRow>());
  auto rows = std::make_shared<ZKThemableTableRowView>();
  rows->setBackgroundColorKey(QStringLiteral("windowColor"));
  outlineView_->setRowViewForRows(rows);

  // The module rows' context menu (the outline offers it on module rows only).
  menu_ = new QMenu(outlineView_);
  menu_->addAction(QStringLiteral("Refresh"), this, &QVDashboardViewController::refresh);
  menu_->addAction(QStringLiteral("Edit Module…"), this, &QVDashboardViewController::edit);
  menu_->addAction(QStringLiteral("Delete Module…"), this, &QVDashboardViewController::deleteModule);
  menu_->addSeparator();
  menu_->addAction(QStringLiteral("Manage Modules…"), this, &QVDashboardViewController::manageModules);
  menu_->addAction(QStringLiteral("Find More Modules…"), this, &QVDashboardViewController::findMore);
  outlineView_->setMenu(menu_);
  connect(menu_, &QMenu::aboutToShow, this, [this] {
    menuRow_ = zk_clickedRow(outlineView_);
    menuItem_ = QPersistentModelIndex(outlineView_->itemAtRow(menuRow_));
  });
  connect(menu_, &QMenu::aboutToHide, this, [this] {
    // After the chosen action has run.
    QTimer::singleShot(0, this, [this] {
      menuRow_ = -1;
      menuItem_ = QPersistentModelIndex();
    });
  });

  connect(outlineView_, &QAbstractItemView::clicked, this, &QVDashboardViewController::didClick);
  connect(cells_, &QVDashboardCellView::valueClicked, this, &QVDashboardViewController::valueWasClicked);
  connect(outlineView_, &QTreeView::expanded, this, [this] {
    if (!ignoreCollapseExpand_) QTimer::singleShot(0, this, &QVDashboardViewController::autoAdjustHeight);
  });
  connect(outlineView_, &QTreeView::collapsed, this, [this] {
    if (!ignoreCollapseExpand_) QTimer::singleShot(0, this, &QVDashboardViewController::autoAdjustHeight);
  });

  if (bridge_) {
    connect(bridge_, &EngineBridge::groupsDidChange, this, &QVDashboardViewController::scheduleReload);
    connect(bridge_, &EngineBridge::moduleResultDidChange, this,
            &QVDashboardViewController::moduleResultDidChange);
    connect(bridge_, &EngineBridge::moduleDidChange, this, &QVDashboardViewController::moduleDidChange);
    connect(bridge_, &EngineBridge::moduleUpdatingDidChange, this, [this](const QString& uid, bool updating) {
      model_->setModuleUpdating(platform::toStdString(uid), updating);
    });
  }
  QPointer<QVDashboardViewController> self(this);
  observers_.push_back(center().addObserverForName(ZKThemeManagerNotificationThemeDidUpdate, nullptr,
                                                   [self](const platform::Notification&) {
                                                     QMetaObject::invokeMethod(qApp, [self] {
                                                       if (self) self->applyTheme();
                                                     });
                                                   }));
  applyTheme();
  reloadData();
  autoExpandGroupsIfNeeded();
}

void QVDashboardViewController::applyTheme() {
  auto& themes = ZKThemeManager::sharedManager();
  cells_->applyTheme();
  const QColor window = themes.colorForKey(QStringLiteral("windowColor"));
  const QColor grid = themes.colorForKey(QStringLiteral("detailsTableSeparatorColor"));
  if (window.isValid())
    outlineView_->setStyleSheet(zk_itemViewStyleSheet(QStringLiteral("QTreeView"), window, grid));
  outlineView_->viewport()->update();
}

bool QVDashboardViewController::outlineViewIsGroupItem(SBOutlineView*, const QModelIndex& item) {
  return item.data(QVDashboardOutlineModel::IsGroupRole).toBool();
}

void QVDashboardViewController::reloadData() {
  reloadPending_ = false;
  if (!manager_) return;
  model_->setGroups(manager_->groups());
  for (int g = 0; g < model_->rowCount(); ++g) outlineView_->setFirstColumnSpanned(g, QModelIndex(), true);
  if (bridge_) bridge_->watchUpdatingOfModules(model_->allModules());
}

void QVDashboardViewController::scheduleReload() {
  // A burst of group changes costs one reload, on the next turn of the loop.
  if (reloadPending_) return;
  reloadPending_ = true;
  QTimer::singleShot(0, this, [this] {
    if (!reloadPending_) return;
    reloadData();
    autoExpandGroupsIfNeeded();
  });
}

void QVDashboardViewController::reloadFromNotification() { scheduleReload(); }

void QVDashboardViewController::moduleResultDidChange(const QVModuleSnapshot& snapshot) {
  model_->applySnapshot(snapshot);
}

void QVDashboardViewController::moduleDidChange(const QVModuleSnapshot& snapshot) {
  // Its name or options changed: the row reads the module again.
  model_->refreshModule(snapshot.uid);
}

void QVDashboardViewController::autoExpandGroupsIfNeeded() {
  ignoreCollapseExpand_ = true;
  for (int g = 0; g < model_->rowCount(); ++g) {
    const QModelIndex index = model_->index(g, 0);
    outlineView_->setExpanded(index, index.data(QVDashboardOutlineModel::IsExpandedRole).toBool());
  }
  ignoreCollapseExpand_ = false;
  autoAdjustHeight();
}

int QVDashboardViewController::countedRows() const {
  int rows = 0;
  for (const auto& group : model_->groups()) {
    rows += 1;
    if (group->isExpanded()) rows += int(group->modules().size());
  }
  return std::max(rows, 1);
}

int QVDashboardViewController::neededHeight(int rows, int rowHeight) { return std::max(rows, 1) * rowHeight; }

int QVDashboardViewController::viewHeight(int currentViewHeight, int currentScrollHeight, int needed,
                                          int cap) {
  const double height = std::floor(double(currentViewHeight - currentScrollHeight) + std::min(needed, cap));
  return std::max(int(height), kMinimumViewHeight);
}

int QVDashboardViewController::heightCap() const {
  QScreen* screen = nullptr;
  QWidget* root = const_cast<QVDashboardViewController*>(this)->view();
  if (QWidget* window = root->window(); window && window->isVisible()) screen = window->screen();
  if (!screen) screen = QGuiApplication::primaryScreen();
  if (!screen) return 0;
  return int(std::floor(0.8 * screen->availableGeometry().height()));
}

void QVDashboardViewController::autoAdjustHeight() {
  const int needed = neededHeight(countedRows(), QVDashboardCellView::kRowHeight);
  const int cap = heightCap();
  QWidget* root = view();
  // The margins around the outline are the form's; they keep their size.
  int margins = 0;
  if (auto* layout = root->layout())
    margins = layout->contentsMargins().top() + layout->contentsMargins().bottom();
  const int height = viewHeight(outlineView_->height() + margins, outlineView_->height(), needed, cap);
  root->resize(root->width(), height);
  outlineView_->setFixedHeight(std::max(height - margins, 0));
  root->setFixedHeight(height);
  scrollingEnabled_ = needed >= cap;
  outlineView_->setVerticalScrollBarPolicy(scrollingEnabled_ ? Qt::ScrollBarAsNeeded
                                                             : Qt::ScrollBarAlwaysOff);
  if (!scrollingEnabled_) outlineView_->verticalScrollBar()->setValue(0);
  center().postNotificationName(QVResizeWindowNotification);
}

bool QVDashboardViewController::eventFilter(QObject* watched, QEvent* event) {
  // While everything fits, the wheel does not move the rows.
  if (outlineView_ && watched == outlineView_->viewport() && event->type() == QEvent::Wheel &&
      !scrollingEnabled_)
    return true;
  return ZKViewController::eventFilter(watched, event);
}

void QVDashboardViewController::didClick(const QModelIndex& index) {
  if (auto group = model_->groupForIndex(index.siblingAtColumn(0))) toggleGroup(group);
}

void QVDashboardViewController::toggleGroup(const QVDashboardGroup::Pointer& group) {
  const QModelIndex index = model_->indexForGroup(group);
  if (!index.isValid()) return;
  const bool expanded = outlineView_->isExpanded(index);
  group->setIsExpanded(!expanded);
  if (manager_) manager_->save();
  outlineView_->setExpanded(index, !expanded);
  model_->refreshGroup(group);
}

void QVDashboardViewController::valueWasClicked(const QModelIndex& index) {
  // The module is the one at the clicked index now, never one remembered from an earlier layout.
  const auto module = model_->moduleForIndex(index);
  if (!module) return;
  const auto* state = model_->stateForModule(module->uid());
  if (!state) return;
  if (state->hasAllRequiredFields && state->lastResult && state->lastResult->success()) {
    const QString target = QVDashboardOutlineModel::clickTarget(*state).trimmed();
    if (target.isEmpty()) return;
    // Taken as written: a target that is already escaped stays as it is, spaces and other characters
    // are escaped once.
    const QUrl url(target, QUrl::TolerantMode);
    if (url.isValid() && !url.isRelative()) platform::DesktopServices::shared().openURL(url);
    return;
  }
  center().postNotificationName(QVOpenEditorNotification, this, module);
}

QModelIndex QVDashboardViewController::selectedOrClickedIndex() const {
  // The item the open menu belongs to, wherever its row is now; none when it went away.
  if (menuRow_ >= 0 && zk_clickedRow(outlineView_) == menuRow_) return menuItem_;
  const std::vector<int> rows = zk_selectedOrClickedIndexes(outlineView_);
  if (rows.empty()) return {};
  return outlineView_->itemAtRow(rows.front());
}

void QVDashboardViewController::beep() { QApplication::beep(); }

void QVDashboardViewController::refresh() {
  const auto module = model_->moduleForIndex(selectedOrClickedIndex());
  // Group rows have nothing to run.
  if (!module) return beep();
  if (auto& run = QVDashboardServices::current().runModule) run(module);
}

void QVDashboardViewController::edit() {
  const auto module = model_->moduleForIndex(selectedOrClickedIndex());
  if (!module) return beep();
  center().postNotificationName(QVOpenEditorNotification, this, module);
}

void QVDashboardViewController::deleteModule() {
  const auto module = model_->moduleForIndex(selectedOrClickedIndex());
  // Only a module row can be deleted here; a group is removed in the group editor.
  if (!module) return beep();
  center().postNotificationName(kDisableWindowClosing, this);
  auto alert = ZKAlert::alert();
  alert->messageText = QStringLiteral("Are you sure you want to delete this module?");
  alert->informativeText = QStringLiteral("This action cannot be undone.");
  alert->addButtonWithTitle(QStringLiteral("Delete"));
  alert->addButtonWithTitle(QStringLiteral("Cancel"));
  QPointer<QVDashboardViewController> self(this);
  std::weak_ptr<QVDashboardModule> weakModule = module;
  zk_beginSheetModalForWindow(alert, view()->window(), [self, weakModule](ZKModalResponse response) {
    center().postNotificationName(kEnableWindowClosing, self.data());
    if (response != ZKAlertFirstButtonReturn) return;
    QTimer::singleShot(200, qApp, [self, weakModule] {
      auto module = weakModule.lock();
      if (!self || !module) return;
      auto group = module->group();
      if (!group) return;
      group->removeModule(module, true);
      if (self->manager_) self->manager_->save();
      self->reloadData();
      self->autoExpandGroupsIfNeeded();
      center().postNotificationName(QVReloadDataForGroupNotification, self.data(), group);
    });
  });
}

void QVDashboardViewController::manageModules() {
  center().postNotificationName(QVOpenEditorNotification, this);
}

void QVDashboardViewController::findMore() {
  platform::DesktopServices::shared().openURL(QUrl(QString::fromLatin1(QVWebPages::kProductSite)));
}
