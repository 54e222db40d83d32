// The process entry of Quorvane Dashboard: the platform's choices before the application object, one
// running instance per user, then the application delegate's start-up on the Qt event loop.
#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QtCore/QSocketNotifier>
#include <QtCore/QTimer>
#include <QtGui/QIcon>
#include <QtGui/QSessionManager>
#include <QtGui/QWindow>
#include <QtWidgets/QApplication>
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "Telemetry/Internals/DelegateForwarder/TLAppDelegateForwarder.h"
#include "app/AppDelegate.h"
#include "app/QVApplicationWindows.h"
#include "app/QVRelaunch.h"
#include "app/QVSingleInstance.h"
#include "engine/QVDashboardModuleManager.h"
#include "engine/QVNotificationCenter.h"
#include "engine/desktop/QVDesktopNotificationSink.h"
#include "engine/desktop/QVSleepWakeMonitor.h"
#include "platform/Bundle.h"
#include "platform/desktop/DesktopPlatform.h"
#include "platform/desktop/QtMainQueue.h"
#include "uikit/ZKApplicationFont.h"

namespace {

// The write end of the pipe the termination signals are reported through.
int signalPipe[2] = {-1, -1};

void reportSignal(int) {
  const int saved = errno;
  const char byte = 1;
  [[maybe_unused]] auto written = ::write(signalPipe[1], &byte, 1);
  errno = saved;
}

// TERM, INT and HUP end the application the way quitting does: through the event loop, so that the
// delegate saves the groups and the output before the process ends.
// A launcher may leave the termination signals blocked (the mask survives exec); this program must
// hear them. Called first thing, before any thread exists, so that every thread inherits it.
void unblockTerminationSignals() {
  sigset_t termination;
  sigemptyset(&termination);
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&termination, signal);
  ::pthread_sigmask(SIG_UNBLOCK, &termination, nullptr);
}

// Whether the application became active only because a menu popped up: the tray icon's menu takes
// the keyboard while it is open, which the desktop reports as the application's activation. A
// status item's menu opens over whatever application is active without activating this one, so the
// dashboard must not come forward with it.
bool aMenuTookTheFocus() {
  if (QApplication::activePopupWidget()) return true;
  const QWindow* focus = QGuiApplication::focusWindow();
  return focus && focus->type() == Qt::Popup;
}

void installTerminationHandlers(QApplication& application) {
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signalPipe) != 0) return;
  auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &application);
  QObject::connect(notifier, &QSocketNotifier::activated, &application, [] {
    char bytes[16];
    while (::read(signalPipe[0], bytes, sizeof bytes) > 0) {
    }
    platform::terminateApplication();
  });
  struct sigaction action {};
  action.sa_handler = reportSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(signal, &action, nullptr);
}

// The icon theme's application icon when installed; in the build tree, the icons drawn beside it.
QIcon applicationIcon() {
  auto icon = QIcon::fromTheme(QStringLiteral("com.quorvane.dashboard"));
  if (!icon.isNull()) return icon;
  const auto built = platform::Bundle::executablePath().parent_path().parent_path() / "icons" / "hicolor";
  for (int size : {16, 32, 48, 128, 256}) {
    const auto file =
        built / (std::to_string(size) + "x" + std::to_string(size)) / "apps" / "com.quorvane.dashboard.png";
    icon.addFile(QString::fromStdString(file.string()), QSize(size, size));
  }
  return icon;
}

void printUsage() {
  std::printf(
      "Usage: quorvane-dashboard [PACKAGE.quorvanemodule | BACKUP.dashboardexport]...\n"
      "Starts Quorvane Dashboard, or hands the paths to the one already running: packages are installed,\n"
      "a backup is imported; without paths the dashboard is shown.\n");
}

}  // namespace

int main(int argc, char** argv) {
  unblockTerminationSignals();
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      printUsage();
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("Quorvane Dashboard %s\n", platform::Bundle::shortVersionString().c_str());
      return 0;
    }
  }
  // The telemetry SDK's process-wide set-up comes before any other thread exists.
  TLTelemetryBootstrap();
  // A relaunch after a backup import: the old process ends before this one takes over its lock.
  if (const pid_t previous = QVRelaunch::pidToWaitFor(argc, argv))
    QVRelaunch::waitForProcessToEnd(previous, 30);
  platform::prepareDesktopPlatform();
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Quorvane Dashboard"));
  QApplication::setOrganizationName(QStringLiteral("Quorvane"));
  QApplication::setApplicationVersion(QString::fromStdString(platform::Bundle::shortVersionString()));
  QGuiApplication::setDesktopFileName(QStringLiteral("com.quorvane.dashboard"));
  QGuiApplication::setQuitOnLastWindowClosed(false);
  QApplication::setWindowIcon(applicationIcon());

  QStringList arguments = QApplication::arguments();
  arguments.removeFirst();
  // The relaunch's own argument is no path to open.
  if (const auto at = arguments.indexOf(QString::fromLatin1(QVRelaunch::kWaitForPidArgument)); at >= 0)
    arguments.remove(at, std::min<qsizetype>(2, arguments.size() - at));
  installTerminationHandlers(application);
  QVSingleInstance instance;
  switch (instance.start(arguments)) {
    case QVSingleInstance::Role::HandedOff:
      return 0;
    case QVSingleInstance::Role::Failed:
      std::fprintf(stderr, "quorvane-dashboard: could not reach or become the running instance\n");
      return 1;
    case QVSingleInstance::Role::Primary:
      break;
  }

  platform::QtMainQueue::install();
  // One family for the whole program: menus, tooltips and plain controls take the themed views' font.
  zk_useThemeTextFontForApplication();
  auto notificationSink = std::make_shared<QVDesktopNotificationSink>();
  QVNotificationCenter::setSharedSink(notificationSink);
  QVSleepWakeMonitor sleepWakeMonitor;

  QVInstallApplicationWindows();
  AppDelegate delegate;
  QObject::connect(&application, &QCoreApplication::aboutToQuit, &delegate,
                   [&delegate] { delegate.applicationWillTerminate(); });
  // Logging out: the session manager asks for the data to be saved before it ends the process.
  QObject::connect(&application, &QGuiApplication::commitDataRequest, &delegate, [](QSessionManager&) {
    auto manager = QVDashboardModuleManager::sharedInstance();
    if (manager->isLoaded()) {
      manager->saveToFile();
      manager->actuallySaveOutput();
    }
  });
  QObject::connect(&application, &QGuiApplication::applicationStateChanged, &delegate,
                   [&delegate](Qt::ApplicationState state) {
                     if (state == Qt::ApplicationActive && !aMenuTookTheFocus())
                       delegate.applicationDidBecomeActive();
                   });
  QObject::connect(&delegate, &AppDelegate::launchDidComplete, &instance, [&](bool success) {
    if (!success) return;
    // Loading (archives, property lists, the first runs' output) leaves freed memory behind that the
    // allocator would keep for the life of the process: once the first runs are through it goes back.
    QTimer::singleShot(3000, &delegate, [] { ::malloc_trim(0); });
    // Paths given to this start are opened like those of a later start.
    if (!arguments.isEmpty()) delegate.handleArguments(arguments);
    instance.setReady([&delegate](const QStringList& handed) { delegate.handleArguments(handed); });
  });

  delegate.applicationWillFinishLaunching();
  QTimer::singleShot(0, &delegate, [&delegate] { delegate.applicationDidFinishLaunching(); });
  const int status = QApplication::exec();
  // The sink's QObject dies with the application; the centre goes back to logging.
  QVNotificationCenter::setSharedSink(nullptr);
  return status;
}
