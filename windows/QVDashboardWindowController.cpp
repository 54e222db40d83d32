#include "windows/QVDashboardWindowController.h"

#include <QtCore/QTimer>
#include <QtWidgets/QApplication>
#include <QtWidgets/QGraphicsOpacityEffect>
#include <QtWidgets/QLayout>

#include "engine/QVDashboardModuleManager.h"
#include "platform/desktop/DesktopCompositor.h"
#include "shell/QVUserDefaults.h"
#include "ui_QVDashboardWindowController.h"
#include "uikit/NSWindow+ContentView.h"
#include "uikit/ZKThemeManager.h"
#include "windows/QVDashboardNotifications.h"
#include "windows/QVDashboardServices.h"
#include "windows/QVModuleListViewController.h"

ZK_INTERFACE_FORM(QVDashboardWindowController, QWidget);

QVDashboardWindowController::QVDashboardWindowController(QObject* parent)
    : STDockableWindowController(parent) {}

QVDashboardWindowController::~QVDashboardWindowController() = default;

QVModuleListViewController* QVDashboardWindowController::moduleListViewController() const {
  return qobject_cast<QVModuleListViewController*>(currentViewController_.data());
}

int QVDashboardWindowController::windowWidthForSetting(std::int64_t windowSize) {
  switch (windowSize) {
    case 1:
      return 450;
    case 2:
      return 550;
    default:
      return 350;
  }
}

void QVDashboardWindowController::zk_viewDidLoad() {
  STDockableWindowController::zk_viewDidLoad();
  QWidget* window = this->window();
  if (!window) return;
  auto* form = ui<Ui::QVDashboardWindowController>();
  contentView_ = form ? form->contentView : window;
  // The header draws the window's rounded top (and the arrow) where the desktop can show
  // transparency; elsewhere the window is a plain rectangle of the theme's colour.
  if (platform::desktopHasCompositor()) {
    window->setAttribute(Qt::WA_TranslucentBackground);
  } else {
    window->setAutoFillBackground(true);
  }
  QPointer<QVDashboardWindowController> themed(this);
  themeObserver_ = platform::NotificationCenter::defaultCenter().addObserverForName(
      ZKThemeManagerNotificationThemeDidUpdate, nullptr, [themed](const platform::Notification&) {
        QMetaObject::invokeMethod(qApp, [themed] {
          if (themed) themed->applyTheme();
        });
      });
  applyTheme();
  updateWindowSize();
  setCurrentViewController(ZKViewController::controller<QVModuleListViewController>(this));
  auto* item = new QVStatusItem();
  if (auto* list = moduleListViewController()) item->setContextMenu(list->settingsMenu());
  setStatusItem(item);
  auto defaults = QVUserDefaults::standardUserDefaults();
  QPointer<QVDashboardWindowController> self(this);
  auto onGui = [self](void (QVDashboardWindowController::*method)()) {
    return [self, method](const std::string&) {
      QMetaObject::invokeMethod(qApp, [self, method] {
        if (self) (self.data()->*method)();
      });
    };
  };
  observations_.push_back(defaults->addObserverForKey(QVMenuBarShowIconKey,
                                                      onGui(&QVDashboardWindowController::updateStatusItem)));
  observations_.push_back(
      defaults->addObserverForKey(QVWindowSizeKey, onGui(&QVDashboardWindowController::updateWindowSize)));
  updateStatusItem();
}

void QVDashboardWindowController::applyTheme() {
  QWidget* window = this->window();
  if (!window) return;
  const QColor color = ZKThemeManager::sharedManager().colorForKey(QStringLiteral("windowColor"));
  if (!color.isValid()) return;
  QPalette palette = window->palette();
  palette.setColor(QPalette::Window, color);
  window->setPalette(palette);
}

void QVDashboardWindowController::updateWindowSize() {
  QWidget* window = this->window();
  if (!window) return;
  const int width = windowWidthForSetting(QVUserDefaults::standardUserDefaults()->windowSize());
  window->setMinimumWidth(0);
  window->resize(width, window->height());
  repositionDockedWindow();
}

void QVDashboardWindowController::setCurrentViewController(ZKViewController* controller) {
  if (!controller || controller == currentViewController_) return;
  ZKViewController* old = currentViewController_;
  if (old) {
    old->zk_viewWillDisappear();
    old->setParentWindow(nullptr);
  }
  controller->zk_viewWillAppear();
  controller->setParentWindow(window());
  controller->setParentWindowController(this);
  setCurrentView(controller->view(), true);
  controller->zk_viewDidAppear();
  if (old) old->zk_viewDidDisappear();
  currentViewController_ = controller;
  // The list sizes the window to its rows now that it is in the window.
  if (auto* list = moduleListViewController()) list->reloadDataFromNotification();
}

void QVDashboardWindowController::setCurrentView(QWidget* view, bool animated) {
  if (!view || view == currentView_ || !contentView_) return;
  if (currentView_) {
    currentView_->setParent(nullptr);
  } else {
    animated = false;  // the first view just appears
  }
  QWidget* window = this->window();
  const int contentHeight = contentView_->height();
  view->resize(contentView_->width(), view->height());
  if (window && window != contentView_) {
    // The container takes the new view's height; the rest of the window keeps its size.
    zk_setContentSize(window, QSizeF(window->width(), window->height() - contentHeight + view->height()),
                      animated);
  }
  contentView_->layout()->addWidget(view);
  view->show();
  currentView_ = view;
}

void QVDashboardWindowController::actuallyShowWindow(bool animated) {
  QPointer<QVDashboardWindowController> self(this);
  QTimer::singleShot(0, this, [self, animated] {
    if (self) self->STDockableWindowController::actuallyShowWindow(animated);
  });
}

void QVDashboardWindowController::menuIconWasClicked() {
  auto manager = QVDashboardServices::current().manager;
  if (!manager || manager->nonEmptyGroups().empty()) {
    platform::NotificationCenter::defaultCenter().postNotificationName(QVOpenEditorNotification, this);
    return;
  }
  STDockableWindowController::menuIconWasClicked();
}
