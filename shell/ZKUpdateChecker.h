#pragma once

#include <QtCore/QObject>
#include <QtCore/QPointer>
#include <QtCore/QTimer>
#include <QtWidgets/QWidget>
#include <memory>
#include <optional>
#include <string>

#include "shell/QVUpdateFeed.h"

namespace platform {
class DispatchQueue;
}

// Posted on the default centre when an update is about to be installed (no object).
inline constexpr const char* ZKUpdaterWillInstallUpdateNotification =
    "ZKUpdaterWillInstallUpdateNotification";

// The desktop half of the application's outside services (ZKStoreHelper holds the Qt-free half: the
// telemetry start and the feed's address): update checks against the update feed, the feedback page. An
// update is installed by the system's package manager, so the result window only says what is available and
// links to the download page. Its windows' titles begin with "Software Update", so the dockable window stays
// open while one has the focus. GUI thread only.
class ZKUpdateChecker : public QObject {
  Q_OBJECT

 public:
  static ZKUpdateChecker& sharedChecker();
  explicit ZKUpdateChecker(QObject* parent = nullptr);
  ~ZKUpdateChecker() override;

  // Registers the feed address as the "UFFeedURL" default and sets up automatic checks (once a day,
  // quietly: only an available update shows a window).
  void configureUpdaterWithURL(const std::string& address);
  bool configured() const { return configured_; }
  std::string feedURL() const;
  bool automaticallyChecksForUpdates() const { return automaticChecks_.isActive(); }

  // A check the user asked for: the result window tells what was found, also when nothing was.
  void checkForUpdates();
  // Opens the maker's support request page in the browser.
  void sendFeedback();

  // The update framework's questions: never ask before checking automatically.
  bool updaterShouldPromptForPermissionToCheckForUpdates() const { return false; }
  void updaterWillRelaunchApplication();

  // The window of the last check's result (null before one ended or after it closed).
  QWidget* resultWindow() const { return resultWindow_; }
  // Shows the window for a result (public for the checks that arrive and for tests).
  void showResult(const QVUpdateCheckResult& result, bool userInitiated);
  bool isChecking() const { return checking_; }

 Q_SIGNALS:
  void checkDidFinish(const QVUpdateCheckResult& result);

 private:
  void startCheck(bool userInitiated);

  bool configured_ = false;
  bool checking_ = false;
  QTimer automaticChecks_;
  QPointer<QWidget> resultWindow_;
  std::shared_ptr<platform::DispatchQueue> queue_;
};

Q_DECLARE_METATYPE(QVUpdateCheckResult)
