#include "app/PMMainWindowController.h"

#include <QtGui/QCloseEvent>
#include <QtWidgets/QLabel>
#include <QtWidgets/QListWidget>
#include <QtWidgets/QVBoxLayout>
#include <array>

#include "app/QVServerPreferencesController.h"
#include "app/WIAboutModule.h"
#include "app/WIPreferencesModule.h"
#include "shell/QVUserDefaults.h"
#include "ui_PMMainWindowController.h"
#include "uikit/NSWindow+ContentView.h"
#include "uikit/ZKAlert.h"

ZK_INTERFACE_FORM(PMMainWindowController, QWidget);

namespace {

std::array<PMMainWindowController::PaneFactory, PMMainWindowController::kRowCount>& paneFactories() {
  static std::array<PMMainWindowController::PaneFactory, PMMainWindowController::kRowCount> factories;
  return factories;
}

ZKModuleViewController* makeOwnPane(int row, QObject* parent) {
  switch (row) {
    case PMMainWindowController::ModuleConfigRow:
      return PMPlaceholderPane::placeholderWithTitle(QStringLiteral("Module Config"), parent);
    case PMMainWindowController::CustomModulesRow:
      return PMPlaceholderPane::placeholderWithTitle(QStringLiteral("Custom Modules"), parent);
    case PMMainWindowController::PreferencesRow:
      return ZKViewController::controller<WIPreferencesModule>(parent);
    case PMMainWindowController::WebSharingRow:
      return ZKViewController::controller<QVServerPreferencesController>(parent);
    default:
      return ZKViewController::controller<WIAboutModule>(parent);
  }
}

}  // namespace

void PMMainWindowController::setPaneFactory(int row, PaneFactory factory) {
  if (row < 0 || row >= kRowCount) return;
  paneFactories()[static_cast<std::size_t>(row)] = std::move(factory);
}

PMPlaceholderPane* PMPlaceholderPane::placeholderWithTitle(const QString& title, QObject* parent) {
  auto* pane = ZKViewController::controller<PMPlaceholderPane>(parent);
  pane->setModuleTitle(title);
  auto* layout = new QVBoxLayout(pane->view());
  auto* label =
      new QLabel(QStringLiteral("<b>%1</b><br>This pane is not available in this build.").arg(title));
  label->setAlignment(Qt::AlignCenter);
  layout->addWidget(label);
  pane->view()->resize(620, 420);
  return pane;
}

QListWidget* PMMainWindowController::tableView() const {
  auto* form = ui<Ui::PMMainWindowController>();
  return form ? form->tableView : nullptr;
}

QWidget* PMMainWindowController::moduleContentView() const {
  auto* form = ui<Ui::PMMainWindowController>();
  return form ? form->moduleContentView : nullptr;
}

QWidget* PMMainWindowController::contentView() const { return window(); }

void PMMainWindowController::zk_viewDidLoad() {
  ZKWindowController::zk_viewDidLoad();
  for (int row = 0; row < kRowCount; ++row) {
    const auto& factory = paneFactories()[static_cast<std::size_t>(row)];
    ZKModuleViewController* pane = factory ? factory(this) : nullptr;
    modules_.push_back(pane ? pane : makeOwnPane(row, this));
  }
  configureWindow();
  auto* table = tableView();
  table->clear();
  for (auto* pane : modules_) {
    auto* item = new QListWidgetItem(pane->moduleImage(), pane->moduleTitle(), table);
    item->setSizeHint(QSize(0, 30));
  }
  connect(table, &QListWidget::currentRowChanged, this, &PMMainWindowController::tableViewSelectionDidChange);
  selectModuleAtRow(ModuleConfigRow);
}

void PMMainWindowController::configureWindow() {
  window()->installEventFilter(this);
  theme_ = QVWindowTheme::follow(window());
  zk_disableFullScreen(window());
}

void PMMainWindowController::selectModuleAtRow(int row) {
  auto* table = tableView();
  if (!table || row < 0 || row >= table->count()) return;
  table->setCurrentRow(row, QItemSelectionModel::ClearAndSelect);
}

void PMMainWindowController::actuallyShowWindow() {
  if (currentModule_) currentModule_->zk_viewWillAppear();
  window()->show();
  window()->raise();
  window()->activateWindow();
  if (currentModule_) currentModule_->zk_viewDidAppear();
}

void PMMainWindowController::tableViewSelectionDidChange() {
  const int row = tableView()->currentRow();
  if (row < 0 || row >= static_cast<int>(modules_.size())) return;
  auto* pane = modules_[static_cast<std::size_t>(row)];
  pane->setParentWindow(window());
  setCurrentModule(pane);
}

void PMMainWindowController::setCurrentModule(ZKModuleViewController* pane) {
  if (pane == currentModule_) return;
  ZKModuleViewController* old = currentModule_;
  if (old) old->zk_viewWillDisappear();
  if (pane) pane->zk_viewWillAppear();
  if (old) {
    old->view()->hide();
    moduleContentView()->layout()->removeWidget(old->view());
    old->view()->setParent(nullptr);
    old->zk_viewDidDisappear();
    old->setModuleIsVisible(false);
  }
  if (pane) pane->setModuleIsVisible(true);
  currentModule_ = pane;
  if (!pane) return;

  pane->setParentWindow(window());
  QWidget* win = window();
  // The window takes the pane's size first; a fixed pane then holds it there.
  zk_setResizable(win, true);
  zk_disableFullScreen(win);
  if (!zk_isFullScreen(win)) resizeWindowIfNeededForViewController(pane, true);
  if (!pane->moduleIsResizable() && !zk_isFullScreen(win)) zk_setResizable(win, false);

  QWidget* paneView = pane->view();
  paneView->setParent(moduleContentView());
  moduleContentView()->layout()->addWidget(paneView);
  paneView->show();
  // The pane's tables and controls take the theme as they join the window.
  if (theme_) theme_->applyTheme();
  pane->zk_viewDidAppear();

  QString title = pane->moduleWindowTitle();
  if (title.isNull()) title = pane->moduleTitle();
  if (!title.isEmpty()) win->setWindowTitle(title);
}

QSize PMMainWindowController::windowSizeWithController(ZKModuleViewController* pane) const {
  if (!pane || !window()) return QSize();
  QSizeF wanted = pane->viewMinSize();
  if (wanted == QSizeF(0, 0)) wanted = pane->isViewLoaded() ? QSizeF(pane->view()->size()) : QSizeF(0, 0);
  // The window's layout places the pane area before the window is first shown.
  if (window()->layout()) window()->layout()->activate();
  QWidget* area = moduleContentView();
  const QRect m(area->mapTo(window(), QPoint(0, 0)), area->size());
  const QSize c = window()->size();
  return QSize(qRound(wanted.width()) + m.x(), qRound(wanted.height()) + (c.height() - m.height()));
}

bool PMMainWindowController::resizeWindowIfNeededForViewController(ZKModuleViewController* pane,
                                                                   bool animated) {
  if (!window() || !pane) return false;
  QSizeF wanted = pane->viewMinSize();
  if (wanted == QSizeF(0, 0)) wanted = pane->isViewLoaded() ? QSizeF(pane->view()->size()) : QSizeF(0, 0);
  if (wanted == QSizeF(0, 0)) return false;
  zk_originalSetContentSize(window(), QSizeF(windowSizeWithController(pane)), animated);
  return true;
}

QSize PMMainWindowController::windowWillResize(QSize proposed) const {
  if (zk_isFullScreen(window()) || !currentModule_ || currentModule_->moduleIsResizable()) return proposed;
  return windowSizeWithController(currentModule_);
}

bool PMMainWindowController::windowShouldClose() {
  auto defaults = QVUserDefaults::standardUserDefaults();
  if (closeConfirmed_ || defaults->userDefaults().boolForKey(kSuppressQuitAlertKey)) return true;
  auto alert = ZKAlert::alert();
  alert->messageText =
      QStringLiteral("%1 will continue to run in the background").arg(WIAboutModule::bundleName());
  alert->alertStyle = ZKAlert::Style::Warning;
  alert->addButtonWithTitle(QStringLiteral("Okay"));
  alert->showsSuppressionButton = true;
  QPointer<PMMainWindowController> self(this);
  ZKAlertPresenter::shared().beginSheet(alert, window(), [self, alert](ZKModalResponse response) {
    if (!self || response != ZKAlertFirstButtonReturn) return;
    if (alert->suppressionButtonState) {
      auto store = QVUserDefaults::standardUserDefaults();
      store->userDefaults().setBool(true, kSuppressQuitAlertKey);
      store->userDefaults().synchronize();
    }
    self->closeConfirmed_ = true;
    if (self->window()) self->window()->close();
  });
  return false;
}

void PMMainWindowController::windowWillClose() {
  for (auto* pane : modules_) pane->zk_viewWillDisappear();
}

bool PMMainWindowController::eventFilter(QObject* watched, QEvent* event) {
  if (watched == window() && event->type() == QEvent::Close) {
    if (!windowShouldClose()) {
      event->ignore();
      return true;
    }
    closeConfirmed_ = false;
    windowWillClose();
    QMetaObject::invokeMethod(
        this, [this] { Q_EMIT windowDidClose(); }, Qt::QueuedConnection);
    return false;
  }
  return ZKWindowController::eventFilter(watched, event);
}
