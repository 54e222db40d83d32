#include "app/AppDelegate.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QEvent>
#include <QtCore/QFileInfo>
#include <QtCore/QThreadPool>
#include <QtCore/QTimer>
#include <QtCore/QUrl>
#include <QtGui/QGuiApplication>
#include <QtGui/QScreen>
#include <QtWidgets/QApplication>
#include <QtWidgets/QMessageBox>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QWidget>

#include "app/QVServerPreferencesController.h"
#include "engine/QVDashboardModule.h"
#include "engine/QVDashboardModuleManager.h"
#include "engine/QVDataManager.h"
#include "engine/QVRunNotifications.h"
#include "engine/QVShowRunner.h"
#include "httpserver/dashboard/QVServerHelper.h"
#include "platform/Log.h"
#include "platform/desktop/DesktopPlatform.h"
#include "platform/desktop/DesktopServices.h"
#include "platform/desktop/DesktopTaskbar.h"
#include "platform/desktop/ZKHotKeyHelper.h"
#include "shell/QVTelemetryStart.h"
#include "shell/QVUserDefaults.h"
#include "shell/Reachability.h"
#include "shell/STDockableWindowController.h"
#include "shell/ZKCore.h"
#include "shell/ZKStoreHelper.h"
#include "shell/ZKUpdateChecker.h"
#include "uikit/DDDarkTheme.h"
#include "uikit/DDLightTheme.h"
#include "uikit/QVApplicationTheme.h"
#include "uikit/SBHelpers.h"
#include "uikit/ZKAlert.h"
#include "uikit/ZKThemeManager.h"
#include "uikit/ZKViewController.h"
#include "windows/QVDashboardNotifications.h"
#include "windows/QVDashboardWindowController.h"

namespace {

QVPreferencesWindowFactory& preferencesFactory() {
  static QVPreferencesWindowFactory factory;
  return factory;
}

// Asks the group editor to open the edit sheet of the module (the object).
constexpr const char* kEditWithModule = "EditWithModule";

platform::NotificationCenter& center() { return platform::NotificationCenter::defaultCenter(); }

QVDashboardModuleManager::Pointer manager() { return QVDashboardModuleManager::sharedInstance(); }

QVUserDefaults& defaults() { return *QVUserDefaults::standardUserDefaults(); }

// Runs fn on the GUI thread after the delay, unless the receiver has gone.
void later(QObject* receiver, int milliseconds, std::function<void()> fn) {
  QTimer::singleShot(milliseconds, receiver, std::move(fn));
}

// A modal alert bracketed by the notifications that keep the dockable window from hiding meanwhile.
// Answers the index of the button chosen.
int runAlert(const QString& message, const QString& informative, const QStringList& buttons) {
  center().postNotificationName(STDisableWindowClosingNotification);
  QMessageBox alert;
  alert.setWindowTitle(QStringLiteral("Quorvane Dashboard"));
  alert.setText(message);
  alert.setInformativeText(informative);
  std::vector<QAbstractButton*> added;
  for (int i = 0; i < buttons.size(); ++i) {
    auto role = i == 0 ? QMessageBox::AcceptRole : QMessageBox::RejectRole;
    added.push_back(alert.addButton(buttons[i], role));
  }
  if (!added.empty()) alert.setDefaultButton(static_cast<QPushButton*>(added.front()));
  alert.exec();
  center().postNotificationName(STEnableWindowClosingNotification);
  for (std::size_t i = 0; i < added.size(); ++i) {
    if (alert.clickedButton() == added[i]) return static_cast<int>(i);
  }
  return static_cast<int>(added.size()) - 1;
}

bool isPackagePath(const QString& path) {
  return path.endsWith(QStringLiteral(".quorvanemodule"), Qt::CaseInsensitive) ||
         path.endsWith(QStringLiteral(".quorvanemodule/"), Qt::CaseInsensitive);
}

bool isBackupPath(const QString& path) {
  return path.endsWith(QStringLiteral(".") + QString::fromLatin1(QVDashboardModuleManager::kBackupExtension),
                       Qt::CaseInsensitive);
}

}  // namespace

AppDelegate::AppDelegate(QObject* parent) : QObject(parent) {}

AppDelegate::~AppDelegate() = default;

void AppDelegate::setPreferencesWindowFactory(QVPreferencesWindowFactory factory) {
  preferencesFactory() = std::move(factory);
}

// ---- Start-up ----

void AppDelegate::applicationWillFinishLaunching() {
  isWillFinishLaunching_ = true;
  addNotificationObservers();
  showHideDockIcon();
  ZKThemeManager::sharedManager().registerTheme(DDLightTheme::sharedTheme());
  ZKThemeManager::sharedManager().registerTheme(DDDarkTheme::sharedTheme());
  // Every window, sheet, alert and menu takes the chosen theme's colours from the application palette.
  QVApplicationTheme::install();
  isWillFinishLaunching_ = false;
}

void AppDelegate::applicationDidFinishLaunching() {
  reachability_ = Reachability::reachabilityWithHostname(kReachabilityHost);
  if (reachability_) reachability_->startNotifier();
  updateTheme();
  updateHotkeys();
  // The maker's framework has no welcome window here: the main window may always be shown.
  ZKCore::setHooks({[] { return true; }, [] {},
                    [] {
                      for (auto* widget : QApplication::topLevelWidgets()) {
                        if (widget->isVisible()) widget->raise();
                      }
                    }});
  QVStartTelemetry();
  if (ZKStoreHelper::updateChecksAreAvailable()) {
    ZKUpdateChecker::sharedChecker().configureUpdaterWithURL(ZKStoreHelper::defaultFeedURL());
  }
  if (ZKCore::canShowMainWindow()) launchCompletion();
  defaults().setFirstLaunch(false);
}

void AppDelegate::launchCompletion() {
  if (isTerminating_) return;
  finishLaunchForceShowWindow(true);
  launchFinished_ = true;
}

void AppDelegate::finishLaunchForceShowWindow(bool force) {
  if (launchFinished_) {
    // A second completion while the first one's load is still running waits for it.
    if (mainWindowController_) showWindow();
    return;
  }
  if (loading_) return;
  loading_ = true;
  QPointer<AppDelegate> self(this);
  // firstLaunch is read by showWindow after the load; the load may complete later, after
  // applicationDidFinishLaunching set it to NO, so the value at this moment is kept.
  const bool firstLaunch = defaults().firstLaunch();
  manager()->loadWithCompletionHandler([self, force, firstLaunch](bool success, bool importedDefaults) {
    if (!self) return;
    self->loading_ = false;
    if (!success) {
      const int chosen =
          runAlert(QStringLiteral("Error Loading Modules Database"),
                   QStringLiteral("There was an error loading the Quorvane Dashboard modules database."),
                   {QStringLiteral("Contact Support"), QStringLiteral("Quit")});
      if (chosen == 0) openURL(kSupportContactURL);
      Q_EMIT self->launchDidComplete(false);
      QCoreApplication::exit(1);
      return;
    }
    if (!self->mainWindowController_) {
      self->mainWindowController_.reset(ZKWindowController::controller<QVDashboardWindowController>());
      if (self->preferencesWindowController_) {
        self->mainWindowController_->setPreferencesWindow(self->preferencesWindowController_->window());
      }
    }
    auto* window = self->mainWindowController_->window();
    if (importedDefaults && window) {
      if (auto* screen = QGuiApplication::primaryScreen()) {
        auto frame = window->frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        window->move(frame.topLeft());
      }
    }
    if (defaults().hideWindowAtStartup() && !force) {
      self->mainWindowController_->actuallyHideWindow(false);
    } else if (firstLaunch && !preferencesFactory() && window) {
      // Without a preferences window the first launch shows the dashboard itself.
      self->mainWindowController_->actuallyShowWindow(false);
    } else {
      self->showWindow();
    }
    later(self, 500, [self] {
      QVShowRunner::sharedInstance()->start();
      auto sharing = QVServerHelper::sharedInstance();
      sharing->startIfNeeded();
      // Sharing left on that could not start again is told now, not first found out by a browser.
      if (self && defaults().serverEnabled() && !sharing->enabled()) self->alertSharingDidNotStart();
    });
    Q_EMIT self->launchDidComplete(true);
  });
}

void AppDelegate::alertSharingDidNotStart() {
  auto alert = QVServerPreferencesController::startFailureAlert(
      QVServerHelper::sharedInstance()->startFailureReason());
  alert->addButtonWithTitle(QStringLiteral("OK"));
  alert->addButtonWithTitle(QStringLiteral("Web Sharing Settings"));
  // Over the window the user has before them: the preferences window when it is up, else the
  // dashboard (which stays while the alert has the focus).
  QWidget* over = nullptr;
  for (QWidget* window : {preferencesWindowController_ ? preferencesWindowController_->window() : nullptr,
                          mainWindowController_ ? mainWindowController_->window() : nullptr}) {
    if (window && window->isVisible()) {
      over = window;
      break;
    }
  }
  center().postNotificationName(STDisableWindowClosingNotification);
  QPointer<AppDelegate> self(this);
  zk_beginSheetModalForWindow(alert, over, [self](ZKModalResponse response) {
    center().postNotificationName(STEnableWindowClosingNotification);
    if (self && response == ZKAlertSecondButtonReturn)
      self->selectPreferencesPane(QVPreferencesWindow::WebSharingRow);
  });
}

bool AppDelegate::nonEmptyGroupsExist() const { return !manager()->nonEmptyGroups().empty(); }

void AppDelegate::showWindow() {
  if (!mainWindowController_) return;
  if (!defaults().firstLaunch() && nonEmptyGroupsExist()) {
    mainWindowController_->actuallyShowWindow(false);
    return;
  }
  makePreferencesControllerIfNeeded();
  if (preferencesWindowController_) {
    preferencesWindowController_->actuallyShowWindow();
  } else {
    mainWindowController_->actuallyShowWindow(false);
  }
}

void AppDelegate::makePreferencesControllerIfNeeded() {
  if (preferencesWindowController_ || !preferencesFactory()) return;
  preferencesWindowController_ = preferencesFactory()();
  if (!preferencesWindowController_) return;
  auto* window = preferencesWindowController_->window();
  if (mainWindowController_) mainWindowController_->setPreferencesWindow(window);
  // Its close is seen through an event filter (the window's will-close).
  if (window) window->installEventFilter(this);
}

bool AppDelegate::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::Close && preferencesWindowController_ &&
      watched == preferencesWindowController_->window()) {
    // This filter sees the request before the window decides on it, and the window may refuse: it
    // asks the user first and closes itself once answered (a second close request). So the
    // controller goes after the request has been handled, and only when the window really closed.
    QPointer<AppDelegate> self(this);
    QPointer<QWidget> window(static_cast<QWidget*>(watched));
    QTimer::singleShot(0, this, [self, window] {
      if (!self || !window || !self->preferencesWindowController_) return;
      if (self->preferencesWindowController_->window() != window || window->isVisible()) return;
      self->preferenceWindowDidClose();
    });
  }
  return QObject::eventFilter(watched, event);
}

void AppDelegate::preferenceWindowDidClose() {
  if (nonEmptyGroupsExist()) {
    if (mainWindowController_) mainWindowController_->actuallyShowWindow(true);
  }
  // Without a dock icon there is nothing to hide the application into: its windows are hidden.
  if (mainWindowController_) mainWindowController_->setPreferencesWindow(nullptr);
  if (preferencesWindowController_) {
    if (auto* window = preferencesWindowController_->window()) window->removeEventFilter(this);
    preferencesWindowController_.reset();
  }
}

// ---- Activation and reopen ----

void AppDelegate::applicationDidBecomeActive() {
  if (isWillFinishLaunching_) return;
  if (!hasLaunched_) {
    hasLaunched_ = true;
    return;
  }
  if (!mainWindowController_) return;
  if (!ZKCore::canShowMainWindow()) {
    ZKCore::showWindow();
  } else {
    const bool preferencesVisible = preferencesWindowController_ && preferencesWindowController_->window() &&
                                    preferencesWindowController_->window()->isVisible();
    if (nonEmptyGroupsExist()) {
      if (preferencesVisible) preferencesWindowController_->actuallyShowWindow();
      if (!mainWindowController_->isShown()) mainWindowController_->actuallyShowWindow(true);
    } else if (preferencesVisible) {
      preferencesWindowController_->actuallyShowWindow();
    } else {
      openEdit();
    }
  }
  ZKCore::showAnyVisibleWindows();
}

bool AppDelegate::applicationShouldHandleReopen(bool) {
  if (isWillFinishLaunching_ || !mainWindowController_) return false;
  if (!ZKCore::canShowMainWindow()) {
    ZKCore::showWindow();
    return false;
  }
  // Only what is there to show comes forward: an open preferences window, and the dashboard when a
  // group holds a configured module. An empty dashboard opens nothing here.
  if (preferencesWindowController_ && preferencesWindowController_->window() &&
      preferencesWindowController_->window()->isVisible()) {
    preferencesWindowController_->actuallyShowWindow();
  }
  if (nonEmptyGroupsExist()) mainWindowController_->actuallyShowWindow(true);
  return false;
}

void AppDelegate::handleArguments(const QStringList& arguments) {
  QStringList packages;
  QStringList backups;
  for (const auto& argument : arguments) {
    if (argument.startsWith('-')) continue;
    if (isBackupPath(argument)) {
      backups << argument;
    } else {
      packages << argument;
    }
  }
  if (packages.isEmpty() && backups.isEmpty()) {
    applicationShouldHandleReopen(mainWindowController_ && mainWindowController_->isShown());
    return;
  }
  // Later on the loop: the second start is answered now, not after the questions.
  QPointer<AppDelegate> self(this);
  QTimer::singleShot(0, this, [self, packages, backups] {
    if (!packages.isEmpty()) self->openFiles(packages);
    for (const auto& backup : backups) {
      const int chosen = runAlert(
          QStringLiteral("Are you sure you want to import %1?").arg(QFileInfo(backup).fileName()),
          QStringLiteral("Your groups, modules and their settings are replaced by those of the backup."),
          {QStringLiteral("Import"), QStringLiteral("Cancel")});
      if (!self || chosen != 0) continue;
      QVDataManager::sharedInstance()->importWithPath(backup.toStdString(), [backup](bool success) {
        if (success) {
          auto shared = manager();
          shared->configure();
          shared->reloadUserModules();
          QVShowRunner::sharedInstance()->start();
          return;
        }
        runAlert(QStringLiteral("Could not import '%1'").arg(QFileInfo(backup).fileName()),
                 QStringLiteral("The backup could not be read. Nothing was changed."),
                 {QStringLiteral("Okay")});
      });
    }
  });
}

// ---- Packages ----

void AppDelegate::openFiles(const QStringList& paths) {
  if (paths.isEmpty()) return;
  const QString what = paths.size() == 1 ? QStringLiteral("this module") : QStringLiteral("these modules");
  const int chosen = runAlert(QStringLiteral("Are you sure you want to install %1?").arg(what), {},
                              {QStringLiteral("Install"), QStringLiteral("Cancel")});
  if (chosen == 0) actuallyInstallFiles(paths);
}

void AppDelegate::actuallyInstallFiles(const QStringList& paths, std::function<void(int)> completion) {
  QPointer<AppDelegate> self(this);
  auto shared = manager();
  QThreadPool::globalInstance()->start([self, shared, paths, completion = std::move(completion)] {
    int installed = 0;
    for (const auto& path : paths) {
      if (!isPackagePath(path) && !QFileInfo(path).isDir()) {
        platform::log("Not a module package: {}", path.toStdString());
      }
      const auto code = shared->installUserModuleAtPath(path.toStdString());
      if (code == QVDashboardModuleManager::QVInstallResultInstalled) {
        ++installed;
      } else {
        QMetaObject::invokeMethod(
            qApp,
            [self, path, code] {
              if (self) self->showInstallFailure(path, code);
            },
            Qt::QueuedConnection);
      }
    }
    QMetaObject::invokeMethod(
        qApp,
        [self, shared, installed, completion] {
          // The user list is read on this thread only: it is re-listed here, after the installs.
          shared->reloadUserModules();
          if (self && installed > 0) self->openUserModules();
          if (completion) completion(installed);
        },
        Qt::QueuedConnection);
  });
}

void AppDelegate::showInstallFailure(const QString& path, std::int64_t code) {
  // One alert at a time, in the order of the packages: a failure that comes while an alert is up
  // waits for it, rather than stacking a second modal loop on the first.
  pendingFailures_.push_back({path, code});
  if (showingFailure_) return;
  showingFailure_ = true;
  while (!pendingFailures_.empty()) {
    auto [next, nextCode] = pendingFailures_.front();
    pendingFailures_.pop_front();
    runInstallFailureAlert(next, nextCode);
  }
  showingFailure_ = false;
}

void AppDelegate::runInstallFailureAlert(const QString& path, std::int64_t code) {
  QString informative;
  switch (code) {
    case QVDashboardModuleManager::QVInstallResultInvalidModule:
      informative = QStringLiteral("The module is not a valid Quorvane Dashboard module.");
      break;
    case QVDashboardModuleManager::QVInstallResultAlreadyInstalled:
      informative = QStringLiteral("A module with this name or bundle ID already exists.");
      break;
    case QVDashboardModuleManager::QVInstallResultCouldNotInstall:
      informative = QStringLiteral("Could not move the module.");
      break;
    default:
      informative = QStringLiteral("An error occurred while installing this module.");
  }
  QString name = QFileInfo(path).fileName();
  if (name.isEmpty()) name = QFileInfo(QFileInfo(path).absolutePath()).fileName();
  runAlert(QStringLiteral("Could not install '%1'").arg(name), informative, {QStringLiteral("Okay")});
}

// ---- Settings ----

void AppDelegate::updateTheme() {
  auto index = defaults().theme();
  if (index == 2)
    index = (appearanceMonitor_ ? appearanceMonitor_->isDarkMode() : SBHelpers::isDarkMode()) ? 1 : 0;
  // Any other stored value keeps the light theme.
  const auto name = index == 1 ? QStringLiteral("DDDarkTheme") : QStringLiteral("DDLightTheme");
  ZKThemeManager::sharedManager().changeTheme(name);
}

void AppDelegate::showHideDockIcon() {
  // The application's presence on the desktop: its windows have task-bar entries, or none (it is
  // reached from its tray icon then). Either way it runs on without windows.
  QGuiApplication::setQuitOnLastWindowClosed(false);
  const bool listed = defaults().showDockIcon();
  platform::setApplicationListedInTaskbar(listed);
  if (!listed) {
    later(this, 100, [this] {
      if (mainWindowController_ && mainWindowController_->isShown() && mainWindowController_->window()) {
        mainWindowController_->window()->activateWindow();
      }
    });
  }
}

void AppDelegate::updateHotkeys() {
  auto& helper = ZKHotKeyHelper::sharedHelper();
  QPointer<AppDelegate> self(this);
  helper.setPressedBlock([self](std::uint64_t id) {
    // Until the dashboard exists the hot key does nothing.
    if (!self || !self->mainWindowController_) return;
    if (static_cast<std::int64_t>(id) == self->hotKeyID_) self->mainWindowController_->menuIconWasClicked();
  });
  if (hotKeyID_ != 0 && hotKeyID_ != -1) helper.unregisterHotkeyWithID(static_cast<std::uint64_t>(hotKeyID_));
  const auto id = helper.registerHotKey(defaults().hotKeyCombo());
  hotKeyID_ = id == ZKHotKeyHelper::kInvalidID ? -1 : static_cast<std::int64_t>(id);
}

void AppDelegate::updateZKCRunAtLogin() {
  // The maker's framework keeps no configuration of its own here; the login item is the setting's.
}

void AppDelegate::addNotificationObservers() {
  auto& store = defaults();
  QPointer<AppDelegate> self(this);
  // Settings may be written on any thread; their effect is applied on the GUI thread.
  auto onGui = [self](void (AppDelegate::*method)()) {
    return [self, method](const std::string&) {
      QMetaObject::invokeMethod(
          qApp,
          [self, method] {
            if (self) (self.data()->*method)();
          },
          Qt::QueuedConnection);
    };
  };
  observations_.push_back(store.addObserverForKey("showDockIcon", onGui(&AppDelegate::showHideDockIcon)));
  observations_.push_back(store.addObserverForKey("hotKeyCombo", onGui(&AppDelegate::updateHotkeys)));
  observations_.push_back(store.addObserverForKey("theme", onGui(&AppDelegate::updateTheme)));
  observers_.push_back(center().addObserverForName(QVOpenPreferencesNotification, nullptr,
                                                   [self](const platform::Notification&) {
                                                     if (self) self->openSettings();
                                                   }));
  observers_.push_back(center().addObserverForName(QVOpenEditorNotification, nullptr,
                                                   [self](const platform::Notification& note) {
                                                     if (self) self->openEdit(note.object);
                                                   }));
  // The desktop's appearance: the portal's colour scheme, or the palette.
  appearanceMonitor_ = new SBAppearanceMonitor(this);
  connect(appearanceMonitor_, &SBAppearanceMonitor::appearanceDidChange, this, [this] { updateTheme(); });
}

// ---- Menu actions ----

void AppDelegate::selectPreferencesPane(int row) {
  makePreferencesControllerIfNeeded();
  if (!preferencesWindowController_) {
    // No preferences window in this build: the dashboard is what there is to show.
    if (mainWindowController_) mainWindowController_->actuallyShowWindow(true);
    return;
  }
  preferencesWindowController_->selectPaneAtRow(row);
  preferencesWindowController_->actuallyShowWindow();
  if (auto* window = preferencesWindowController_->window()) window->activateWindow();
}

void AppDelegate::openAbout() {
  if (!ZKCore::canShowMainWindow()) {
    QApplication::beep();
    return;
  }
  selectPreferencesPane(QVPreferencesWindow::AboutRow);
}

void AppDelegate::openSettings() {
  if (!ZKCore::canShowMainWindow()) {
    QApplication::beep();
    return;
  }
  selectPreferencesPane(QVPreferencesWindow::GeneralRow);
}

void AppDelegate::openEdit(std::any module) {
  selectPreferencesPane(QVPreferencesWindow::ModulesRow);
  if (!module.has_value()) return;
  later(this, 200, [module] { center().postNotificationName(kEditWithModule, nullptr, module); });
}

void AppDelegate::openUserModules() { selectPreferencesPane(QVPreferencesWindow::CustomModulesRow); }

void AppDelegate::openURL(const char* url) {
  platform::DesktopServices::shared().openURL(QUrl(QString::fromLatin1(url)));
}

void AppDelegate::openCustomerSupport() { openURL(kSupportURL); }

void AppDelegate::rateApp() {
  if (mainWindowController_) mainWindowController_->disableAutoHide();
  ZKUpdateChecker::sharedChecker().sendFeedback();
  QPointer<AppDelegate> self(this);
  later(this, 500, [self] {
    if (self && self->mainWindowController_) self->mainWindowController_->enableAutoHide();
  });
}

void AppDelegate::openWelcomeWindow() { openURL(kOtherApplicationsURL); }

void AppDelegate::quitApp() { platform::terminateApplication(); }

void AppDelegate::followZorvik() { openURL(kSocialURL); }

// ---- Termination ----

void AppDelegate::applicationWillTerminate() {
  if (isTerminating_) return;
  isTerminating_ = true;
  center().postNotificationName(QVApplicationWillTerminateNotification);
  auto shared = manager();
  if (shared->isLoaded()) shared->applicationWillTerminate();
}
