#include "windows/QVModuleListViewController.h"

#include <QtCore/QTimer>
#include <QtGui/QCursor>
#include <QtGui/QPainter>
#include <QtGui/QPainterPath>
#include <QtGui/QScreen>
#include <QtWidgets/QApplication>
#include <QtWidgets/QVBoxLayout>
#include <cmath>

#include "platform/desktop/DesktopPlatform.h"
#include "platform/desktop/DesktopServices.h"
#include "shell/QVUserDefaults.h"
#include "shell/STDockableWindowController.h"
#include "shell/STDockingGeometry.h"
#include "shell/ZKStoreHelper.h"
#include "shell/ZKUpdateChecker.h"
#include "ui_QVModuleListViewController.h"
#include "uikit/NSWindow+ContentView.h"
#include "uikit/ZKThemeManager.h"
#include "windows/QVDashboardNotifications.h"
#include "windows/QVDashboardServices.h"
#include "windows/QVDashboardViewController.h"
#include "windows/QVDockedHeaderView.h"
#include "windows/QVHeaderViewController.h"

ZK_INTERFACE_FORM(QVModuleListViewController, QWidget);

namespace {

QString className(const ZKViewController* controller) {
  return QString::fromLatin1(controller->metaObject()->className());
}

void openPage(const char* address) {
  platform::DesktopServices::shared().openURL(QUrl(QString::fromLatin1(address)));
}

// The body below the header's arrow, in the list's coordinates.
QPainterPath bodyPath(const QWidget* list) {
  QPainterPath body;
  body.addRoundedRect(QRectF(list->rect()).adjusted(0, 10, 0, 0), 5, 5);
  return body;
}

}  // namespace

QVModuleListViewController::QVModuleListViewController(QObject* parent) : ZKViewController(parent) {}

QVModuleListViewController::~QVModuleListViewController() = default;

QVHeaderViewController* QVModuleListViewController::headerViewController() const {
  return modulesArray_.empty() ? nullptr : qobject_cast<QVHeaderViewController*>(modulesArray_[0]);
}

QVDashboardViewController* QVModuleListViewController::dashboardViewController() const {
  return modulesArray_.size() < 2 ? nullptr : qobject_cast<QVDashboardViewController*>(modulesArray_[1]);
}

STDockableWindowController* QVModuleListViewController::dockableWindowController() const {
  return qobject_cast<STDockableWindowController*>(parentWindowController());
}

void QVModuleListViewController::zk_viewDidLoad() {
  // The settings menu (its titles are this controller's; the dock item's title follows the state).
  settingsMenu_ = new QMenu(view());
  settingsMenu_->setAccessibleName(QStringLiteral("Settings"));
  dockMenuItem_ = settingsMenu_->addAction(QStringLiteral("Undock Window"), this,
                                           &QVModuleListViewController::toggleDocked);
  settingsMenu_->addAction(QStringLiteral("Reset Window Position"), this,
                           &QVModuleListViewController::resetAppWindow);
  settingsMenu_->addSeparator();
  settingsMenu_->addAction(QStringLiteral("Manage Modules…"), this,
                           &QVModuleListViewController::manageModules);
  settingsMenu_->addAction(QStringLiteral("Find More Modules…"), this, &QVModuleListViewController::findMore);
  settingsMenu_->addAction(QStringLiteral("Preferences…"), this,
                           &QVModuleListViewController::openPreferences);
  settingsMenu_->addSeparator();
  checkForUpdatesMenuItem_ = settingsMenu_->addAction(QStringLiteral("Check for Updates…"), this,
                                                      &QVModuleListViewController::checkForUpdates);
  // Without an update feed there is nothing to check.
  checkForUpdatesMenuItem_->setVisible(ZKStoreHelper::updateChecksAreAvailable());
  settingsMenu_->addAction(QStringLiteral("Customer Support…"), this,
                           &QVModuleListViewController::openCustomerSupport);
  settingsMenu_->addAction(QStringLiteral("More Apps…"), this, &QVModuleListViewController::openMailingList);
  settingsMenu_->addSeparator();
  settingsMenu_->addAction(QStringLiteral("Quit"), this, &QVModuleListViewController::quit);

  auto* header = ZKViewController::controller<QVHeaderViewController>(this);
  auto* dashboard = ZKViewController::controller<QVDashboardViewController>(this);
  modulesArray_ = {header, dashboard};
  moduleViewHeights_.reserve(2);
  auto* layout = view()->layout();
  if (!layout) layout = new QVBoxLayout(view());
  for (ZKViewController* row : modulesArray_) layout->addWidget(row->view());
  // The rows stack from the top; the 10 points the window has beyond them stay at the bottom.
  if (auto* rows = qobject_cast<QBoxLayout*>(layout)) rows->addStretch();
  view()->installEventFilter(this);
  autoAdjustHeight();
  reloadDataAnimated(false);
  addNotificationListeners();
  updateMenuItems();
}

QList<QPainterPath> QVModuleListViewController::windowOutline() {
  QList<QPainterPath> outline{bodyPath(view())};
  auto* header = headerViewController();
  if (QVDockedHeaderView* headerView = header ? header->headerView() : nullptr)
    outline.append(headerView->backgroundPath().translated(QPointF(headerView->mapTo(view(), QPoint(0, 0)))));
  return outline;
}

bool QVModuleListViewController::eventFilter(QObject* watched, QEvent* event) {
  if (watched == view() && event->type() == QEvent::Paint) {
    QPainter painter(view());
    const QColor color = ZKThemeManager::sharedManager().colorForKey(QStringLiteral("windowColor"));
    const QColor fill = color.isValid() ? color : view()->palette().color(QPalette::Window);
    if (view()->window()->mask().isEmpty()) {
      // The window's body below the header's arrow, with rounded corners; the header draws its own
      // shape over the top, so what lies beside the arrow stays clear.
      painter.setRenderHint(QPainter::Antialiasing);
      painter.fillPath(bodyPath(view()), fill);
    } else {
      // The window is shaped to its outline (no compositor shows transparency): the shape cuts the
      // corners, and a full fill leaves no half-covered pixel along its edge.
      painter.fillRect(view()->rect(), fill);
    }
    return false;
  }
  return ZKViewController::eventFilter(watched, event);
}

void QVModuleListViewController::addNotificationListeners() {
  auto& center = platform::NotificationCenter::defaultCenter();
  QPointer<QVModuleListViewController> self(this);
  auto onGui = [self](void (QVModuleListViewController::*method)()) {
    return [self, method](const platform::Notification&) {
      QMetaObject::invokeMethod(qApp, [self, method] {
        if (self) (self.data()->*method)();
      });
    };
  };
  observers_.push_back(center.addObserverForName(
      QVResizeWindowNotification, nullptr, onGui(&QVModuleListViewController::reloadDataFromNotification)));
  observers_.push_back(center.addObserverForName(QVShowSettingsMenuNotification, nullptr,
                                                 onGui(&QVModuleListViewController::showSettingsMenu)));
}

double QVModuleListViewController::heightOfRow(int row) {
  if (row < 0 || row >= int(modulesArray_.size())) return 0;
  ZKViewController* controller = modulesArray_[size_t(row)];
  const QString key = className(controller);
  auto cached = moduleViewHeights_.find(key);
  if (cached != moduleViewHeights_.end()) return cached.value();
  QWidget* rowView = controller->view();
  const int measured =
      rowView->minimumHeight() == rowView->maximumHeight() ? rowView->minimumHeight() : rowView->height();
  const double height = std::max(double(measured), 1.0);
  moduleViewHeights_.insert(key, height);
  return height;
}

void QVModuleListViewController::autoAdjustHeight() {
  QWidget* list = view();
  double sum = 0;
  for (ZKViewController* row : modulesArray_) {
    row->view()->resize(list->width(), row->view()->height());
    sum += row->view()->height();
  }
  list->resize(list->width(), int(std::round(sum)));
}

double QVModuleListViewController::totalHeight() {
  double total = 0;
  for (int row = 0; row < int(modulesArray_.size()); ++row) {
    auto cached = moduleViewHeights_.find(className(modulesArray_[size_t(row)]));
    total += cached == moduleViewHeights_.end() ? 0.0 : cached.value();
  }
  return total + 10.0;
}

void QVModuleListViewController::reloadDataAnimated(bool animated) {
  if (auto* dashboard = dashboardViewController()) moduleViewHeights_.remove(className(dashboard));
  for (int row = 0; row < int(modulesArray_.size()); ++row) heightOfRow(row);
  resizeWindowAnimated(animated);
}

void QVModuleListViewController::resizeWindowAnimated(bool animated) {
  const double total = totalHeight();
  view()->setFixedHeight(int(total));
  QWidget* window = view()->window();
  if (!window || window == view()) return;
  // The window is as tall as its rows; a user resize changes its width only.
  window->setMinimumHeight(0);
  window->setMaximumHeight(QWIDGETSIZE_MAX);
  zk_setContentSize(window, QSizeF(window->width(), total), animated);
  window->setFixedHeight(window->height());
  window->setMinimumWidth(200);
  window->setMaximumWidth(QWIDGETSIZE_MAX);
  auto* dockable = dockableWindowController();
  if (dockable && !dockable->docked()) {
    QPointer<QWidget> target(window);
    QTimer::singleShot(0, this, [target] {
      if (!target) return;
      QScreen* screen = target->screen();
      QVUserDefaults::standardUserDefaults()->setUndockedFrame(
          STDockingGeometry::frameString(target->geometry(), screen ? screen->availableGeometry() : QRect()));
    });
  }
}

void QVModuleListViewController::showSettingsMenu() {
  if (!settingsMenu_) return;
  updateMenuItems();
  settingsMenu_->popup(QCursor::pos());
}

void QVModuleListViewController::updateMenuItems() {
  if (!dockMenuItem_) return;
  dockMenuItem_->setText(QVUserDefaults::standardUserDefaults()->isDocked() ? QStringLiteral("Undock Window")
                                                                            : QStringLiteral("Dock Window"));
}

void QVModuleListViewController::toggleDocked() {
  auto* dockable = dockableWindowController();
  if (!dockable) return;
  dockable->toggleDocked();
  updateMenuItems();
  if (dockable->window() && !dockable->window()->isVisible()) dockable->actuallyShowWindow(true);
}

void QVModuleListViewController::resetAppWindow() {
  auto* dockable = dockableWindowController();
  QWidget* window = view()->window();
  if (!dockable || !window) return;
  if (dockable->docked()) {
    window->setGeometry(dockable->dockedWindowFrame());
  } else if (QScreen* screen = window->screen()) {
    QRect frame = window->frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    window->move(frame.topLeft());
  }
}

void QVModuleListViewController::manageModules() {
  platform::NotificationCenter::defaultCenter().postNotificationName(QVOpenEditorNotification, this);
}

void QVModuleListViewController::openPreferences() {
  platform::NotificationCenter::defaultCenter().postNotificationName(QVOpenPreferencesNotification, this);
}

void QVModuleListViewController::openCustomerSupport() { openPage(QVWebPages::kSupportSite); }

void QVModuleListViewController::openMailingList() {
  platform::DesktopServices::shared().openURL(
      QUrl(QString::fromLatin1(QVWebPages::kMakerSite) + QStringLiteral("?ref=moreapps")));
}

void QVModuleListViewController::checkForUpdates() { ZKUpdateChecker::sharedChecker().checkForUpdates(); }

void QVModuleListViewController::findMore() { openPage(QVWebPages::kProductSite); }

void QVModuleListViewController::quit() { platform::terminateApplication(); }
