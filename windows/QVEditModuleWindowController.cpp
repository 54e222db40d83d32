#include "windows/QVEditModuleWindowController.h"

#include <QtCore/QTimer>
#include <QtWidgets/QAbstractButton>
#include <QtWidgets/QAbstractSpinBox>
#include <QtWidgets/QApplication>
#include <QtWidgets/QLabel>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QVBoxLayout>

#include "engine/QVDashboardModuleManager.h"
#include "engine/desktop/EngineBridge.h"
#include "platform/Log.h"
#include "platform/desktop/DesktopServices.h"
#include "platform/desktop/QtText.h"
#include "ui_QVEditModuleWindowController.h"
#include "uikit/QVWindowTheme.h"
#include "uikit/ZKYosemiteButton.h"
#include "windows/QVConfigEditorViewController.h"
#include "windows/QVFilesViewController.h"
#include "windows/QVLogsViewController.h"
#include "windows/QVModuleHelpViewController.h"

ZK_INTERFACE_FORM(QVEditModuleWindowController, QWidget);

namespace {

void openAddress(const std::optional<std::string>& address) {
  if (!address || address->empty()) return;
  const QUrl url(platform::toQString(*address), QUrl::StrictMode);
  if (!url.isValid() || url.scheme().isEmpty()) return;
  platform::DesktopServices::shared().openURL(url);
}

}  // namespace

QVEditModuleWindowController* QVEditModuleWindowController::controllerWithModule(
    const QVDashboardModule::Pointer& module, std::shared_ptr<QVDashboardModuleManager> manager,
    EngineBridge* bridge, QObject* parent) {
  auto* instance = new QVEditModuleWindowController(parent);
  instance->module_ = module;
  instance->manager_ = manager;
  instance->bridge_ = bridge;
  instance->loadWindowFromInterface();
  return instance;
}

std::array<QAbstractButton*, 5> QVEditModuleWindowController::tabButtons() const {
  auto* form = ui<Ui::QVEditModuleWindowController>();
  if (!form) return {};
  return {form->preferencesTabButton, form->logsTabButton, form->filesButton, form->notificationsButton,
          form->moduleHelpButton};
}

QWidget* QVEditModuleWindowController::tabContentView() const {
  auto* form = ui<Ui::QVEditModuleWindowController>();
  return form ? form->tabContentView : nullptr;
}

QLabel* QVEditModuleWindowController::titleLabel() const {
  auto* form = ui<Ui::QVEditModuleWindowController>();
  return form ? form->titleLabel : nullptr;
}

QLabel* QVEditModuleWindowController::descriptionLabel() const {
  auto* form = ui<Ui::QVEditModuleWindowController>();
  return form ? form->descriptionLabel : nullptr;
}

QAbstractButton* QVEditModuleWindowController::websiteButton() const {
  auto* form = ui<Ui::QVEditModuleWindowController>();
  return form ? form->websiteButton : nullptr;
}

QAbstractButton* QVEditModuleWindowController::helpButton() const {
  auto* form = ui<Ui::QVEditModuleWindowController>();
  return form ? form->helpButton : nullptr;
}

void QVEditModuleWindowController::zk_viewDidLoad() {
  ZKWindowController::zk_viewDidLoad();
  auto* form = ui<Ui::QVEditModuleWindowController>();
  if (!form) return;
  QVWindowTheme::follow(window());
  if (!bridge_) bridge_ = new EngineBridge(nullptr, platform::NotificationCenter::defaultCenter(), this);
  for (auto* button : tabButtons()) {
    button->setCheckable(true);
    connect(button, &QAbstractButton::clicked, this, [this, button] { changeTab(button); });
  }
  connect(form->websiteButton, &QAbstractButton::clicked, this, &QVEditModuleWindowController::openWebsite);
  connect(form->helpButton, &QAbstractButton::clicked, this, &QVEditModuleWindowController::openHelp);
  connect(form->closeButton, &QAbstractButton::clicked, this, &QVEditModuleWindowController::close);

  selectedTab_ = -1;
  updateMetaDataUI();
  changeTab(form->preferencesTabButton);
  if (!module_ || !module_->hasNotifications()) form->notificationsButton->setParent(nullptr);
  if (!module_ || !module_->helpDocumentPath()) form->moduleHelpButton->setParent(nullptr);
  repositionTabs();
}

void QVEditModuleWindowController::updateMetaDataUI() {
  auto* form = ui<Ui::QVEditModuleWindowController>();
  if (!form || !module_) return;
  form->titleLabel->setText(platform::toQString(module_->moduleName().value_or("")));
  const auto& description = module_->moduleDescription();
  form->descriptionLabel->setText(description ? platform::toQString(*description)
                                              : QString::fromUtf8(kMissingDescription));
  form->websiteButton->setHidden(module_->website().value_or("").empty());
  form->helpButton->setHidden(module_->supportURL().value_or("").empty());
  window()->setWindowTitle(platform::toQString(module_->displayName().value_or("")));
}

void QVEditModuleWindowController::repositionTabs() {
  double x = kFirstTabX;
  for (auto* button : tabButtons()) {
    if (!button || !button->parentWidget()) continue;
    QRect frame = button->geometry();
    frame.moveLeft(static_cast<int>(x));
    button->setGeometry(frame);
    x += frame.width() + kTabGap;
  }
}

void QVEditModuleWindowController::changeTab(QAbstractButton* sender) {
  const auto buttons = tabButtons();
  std::int64_t index = -1;
  for (std::size_t i = 0; i < buttons.size(); ++i) {
    if (!buttons[i]) continue;
    buttons[i]->setChecked(buttons[i] == sender);
    if (buttons[i] == sender) index = static_cast<std::int64_t>(i);
  }
  if (index == selectedTab_) return;
  if (index < 0) {
    platform::log("Oh boy... that shouldn't happen");
    return;
  }
  setCurrentViewController(makeControllerForTab(index));
  selectedTab_ = index;
}

ZKViewController* QVEditModuleWindowController::makeControllerForTab(std::int64_t tab) {
  switch (tab) {
    case preferencesTab:
      return QVConfigEditorViewController::controllerWithModule(module_, 0, manager_.lock(), this);
    case logsTab:
      return QVLogsViewController::controllerWithModule(module_, bridge_, this);
    case filesTab:
      return QVFilesViewController::controllerWithModule(module_, this);
    case notificationsTab:
      return QVConfigEditorViewController::controllerWithModule(module_, 1, manager_.lock(), this);
    default:
      return QVModuleHelpViewController::controllerWithModule(module_, this);
  }
}

void QVEditModuleWindowController::setCurrentViewController(ZKViewController* controller) {
  if (controller == currentViewController_) return;
  ZKViewController* old = currentViewController_;
  if (old) old->zk_viewWillDisappear();
  if (controller) controller->zk_viewWillAppear();
  if (old) {
    old->view()->hide();
    if (auto* layout = tabContentView()->layout()) layout->removeWidget(old->view());
    old->view()->setParent(nullptr);
    old->zk_viewDidDisappear();
    old->deleteLater();
  }
  currentViewController_ = controller;
  if (!controller) return;
  controller->setParentWindow(parentWindow());
  QWidget* content = tabContentView();
  QWidget* view = controller->view();
  view->setParent(content);
  view->setGeometry(QRect(QPoint(0, 0), content->size()));
  content->layout()->addWidget(view);
  // Views made for the tab follow the window's theme, except where their own colours are fixed.
  QVWindowTheme::follow(view);
  view->show();
  controller->zk_viewDidAppear();
}

void QVEditModuleWindowController::openWebsite() { openAddress(module_ ? module_->website() : std::nullopt); }

void QVEditModuleWindowController::openHelp() { openAddress(module_ ? module_->supportURL() : std::nullopt); }

void QVEditModuleWindowController::close() {
  // Ending the editing in a field stores what it holds before the completion block runs. A field of an
  // inactive window keeps its text without losing focus, so its editing is ended by its own signal.
  if (QWidget* focus = window() ? window()->focusWidget() : nullptr) {
    const bool hadFocus = focus->hasFocus();
    focus->clearFocus();
    if (!hadFocus) {
      if (auto* field = qobject_cast<QLineEdit*>(focus)) Q_EMIT field->editingFinished();
      if (auto* spin = qobject_cast<QAbstractSpinBox*>(focus)) Q_EMIT spin->editingFinished();
    }
  }
  QTimer::singleShot(100, this, [this] {
    if (completionBlock) completionBlock();
    closeSheet();
  });
}
