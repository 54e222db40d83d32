#include "windows/QVDashboardWindowController.h"

#include <QtCore/QEvent>
#include <QtCore/QTimer>
#include <QtGui/QBitmap>
#include <QtGui/QPainter>
#include <QtGui/QRegion>
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
#include "windows/QVDockedHeaderView.h"
#include "windows/QVHeaderViewController.h"
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
  // The header draws the window's rounded top (and the arrow) over a transparent margin. The window
  // has an alpha channel whether or not a compositor runs now, so that one starting later shows the
  // margin through; without one the window's shape cuts the margin away (updateWindowShape).
  window->setAttribute(Qt::WA_TranslucentBackground);
  compositorWatcher_ = new platform::DesktopCompositorWatcher(this);
  connect(compositorWatcher_, &platform::DesktopCompositorWatcher::compositorChanged, this,
          &QVDashboardWindowController::updateWindowShape);
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
  if (auto* list = moduleListViewController()) {
    list->view()->installEventFilter(this);
    if (auto* header = list->headerViewController() ? list->headerViewController()->headerView() : nullptr) {
      connect(header, &QVDockedHeaderView::backgroundPathDidChange, this,
              &QVDashboardWindowController::scheduleWindowShapeUpdate);
      // The arrow points at the status item wherever the docked window had to go.
      QPointer<QVDockedHeaderView> arrowed(header);
      connect(this, &STDockableWindowController::dockedArrowPositionDidChange, header, [this, arrowed] {
        if (arrowed) arrowed->setArrowPosition(dockedArrowPosition());
      });
      header->setArrowPosition(dockedArrowPosition());
    }
  }
  updateWindowShape();
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

bool QVDashboardWindowController::eventFilter(QObject* watched, QEvent* event) {
  // The window's events come through the base's filter, the list's through its own. The outline
  // follows the window's size and the list's (whose layout places the header).
  if (event->type() == QEvent::Resize || event->type() == QEvent::LayoutRequest) {
    auto* list = moduleListViewController();
    if (watched == window() || (list && watched == list->view())) scheduleWindowShapeUpdate();
  }
  return STDockableWindowController::eventFilter(watched, event);
}

void QVDashboardWindowController::scheduleWindowShapeUpdate() {
  if (shapeUpdatePending_) return;
  shapeUpdatePending_ = true;
  QMetaObject::invokeMethod(
      this,
      [this] {
        shapeUpdatePending_ = false;
        updateWindowShape();
      },
      Qt::QueuedConnection);
}

void QVDashboardWindowController::updateWindowShape() {
  QWidget* window = this->window();
  auto* list = moduleListViewController();
  if (!window || !list || !compositorWatcher_) return;
  QRegion shape;
  if (!compositorWatcher_->hasCompositor()) {
    // The outline drawn with hard edges, as the header draws its part: a pixel belongs to the window
    // when its centre lies inside.
    QBitmap bitmap(window->size());
    bitmap.fill(Qt::color0);
    QPainter painter(&bitmap);
    painter.translate(list->view()->mapTo(window, QPoint(0, 0)));
    for (const QPainterPath& piece : list->windowOutline()) painter.fillPath(piece, Qt::color1);
    painter.end();
    shape = QRegion(bitmap);
  }
  if (shape == window->mask()) return;
  if (shape.isEmpty()) {
    window->clearMask();
  } else {
    window->setMask(shape);
  }
  // The header and the body paint for the new state (hard or soft edges, full or rounded fill).
  window->update();
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
