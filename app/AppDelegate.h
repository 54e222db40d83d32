#pragma once

#include <QtCore/QObject>
#include <QtCore/QPointer>
#include <QtCore/QStringList>
#include <any>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

#include "app/QVPreferencesWindowHook.h"
#include "platform/NotificationCenter.h"
#include "platform/SettingsStore.h"

class QVDashboardWindowController;
class Reachability;
class SBAppearanceMonitor;

// The application delegate: runs start-up from the process entry to the first shown window, owns the
// dashboard window controller and the preferences window, applies the theme and hot-key settings
// when they change, installs module packages handed to the application, answers activation and
// reopen, carries the application menu's actions and saves everything at termination.
//
// Nothing reaches the dashboard controller before it exists: the hot key and reopen do nothing until
// the modules have loaded, and arguments of a second start wait for the load (QVSingleInstance).
// GUI thread only.
class AppDelegate : public QObject {
  Q_OBJECT

 public:
  explicit AppDelegate(QObject* parent = nullptr);
  ~AppDelegate() override;

  // The maker of the preferences window. Without one, the requests for it show the dashboard.
  static void setPreferencesWindowFactory(QVPreferencesWindowFactory factory);

  // ---- Called by the platform layer (main.cpp) ----
  void applicationWillFinishLaunching();
  void applicationDidFinishLaunching();
  void applicationWillTerminate();
  void applicationDidBecomeActive();
  // Brings forward a visible preferences window and, when a group holds a configured module, the
  // dashboard; opens nothing else. Always false.
  bool applicationShouldHandleReopen(bool hasVisibleWindows);
  // Asks whether to install the packages, then installs them.
  void openFiles(const QStringList& paths);
  // A second start's arguments: none reopens, package paths are opened as files.
  void handleArguments(const QStringList& arguments);

  // ---- Own operations ----
  void finishLaunchForceShowWindow(bool force);
  void showWindow();
  void makePreferencesControllerIfNeeded();
  void preferenceWindowDidClose();
  // Installs the packages on a background thread; one alert per failure, then the custom modules
  // pane when at least one was installed. The completion (tests) runs after that.
  void actuallyInstallFiles(const QStringList& paths, std::function<void(int installed)> completion = {});
  void updateHotkeys();
  void updateTheme();
  void showHideDockIcon();
  void updateZKCRunAtLogin();

  // ---- Menu actions ----
  void openAbout();
  void openSettings();
  // With a module (the notification's object), the editor is asked for it 0.2 s later.
  void openEdit(std::any module = {});
  void openUserModules();
  void openCustomerSupport();
  void rateApp();
  void openWelcomeWindow();
  void quitApp();
  void followZorvik();

  QVDashboardWindowController* mainWindowController() const { return mainWindowController_.get(); }
  QVPreferencesWindow* preferencesWindowController() const { return preferencesWindowController_.get(); }
  bool launchFinished() const { return launchFinished_; }
  bool isTerminating() const { return isTerminating_; }
  std::int64_t hotKeyID() const { return hotKeyID_; }

  // Web addresses the menu actions open.
  static constexpr const char* kSupportURL = "https://quorvane.com/support/";
  static constexpr const char* kSupportContactURL = "https://quorvane.com/support/contact/";
  static constexpr const char* kOtherApplicationsURL = "https://quorvane.com/apps/";
  static constexpr const char* kSocialURL = "https://mastodon.social/@quorvane";
  static constexpr const char* kReachabilityHost = "www.debian.org";

 Q_SIGNALS:
  // The modules have loaded and the dashboard controller exists (or loading failed: false).
  void launchDidComplete(bool success);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void addNotificationObservers();
  void launchCompletion();
  void showInstallFailure(const QString& path, std::int64_t code);
  void runInstallFailureAlert(const QString& path, std::int64_t code);
  bool nonEmptyGroupsExist() const;
  void selectPreferencesPane(int row);
  // Sharing was left on but did not start at launch: an alert says so and why, and offers the Web
  // Sharing pane.
  void alertSharingDidNotStart();
  static void openURL(const char* url);

  std::shared_ptr<Reachability> reachability_;
  std::unique_ptr<QVPreferencesWindow> preferencesWindowController_;
  std::unique_ptr<QVDashboardWindowController> mainWindowController_;
  QPointer<SBAppearanceMonitor> appearanceMonitor_;
  bool hasLaunched_ = false;
  bool isTerminating_ = false;
  bool isWillFinishLaunching_ = false;
  bool loading_ = false;
  std::int64_t hotKeyID_ = 0;
  bool launchFinished_ = false;
  std::deque<std::pair<QString, std::int64_t>> pendingFailures_;
  bool showingFailure_ = false;
  std::vector<platform::SettingsStore::Observation> observations_;
  std::vector<platform::ObserverToken> observers_;
};
