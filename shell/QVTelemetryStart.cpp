#include "shell/QVTelemetryStart.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QEventLoop>
#include <QtCore/QThread>
#include <QtGui/QGuiApplication>
#include <QtGui/QScreen>
#include <optional>
#include <utility>

#include "Telemetry/Internals/Context/TLDeviceTracker.h"
#include "Telemetry/Internals/Util/TLApplicationHooks.h"
#include "platform/desktop/ApplicationActivityBridge.h"
#include "shell/ZKStoreHelper.h"
#include "uikit/ZKAlert.h"

void QVInstallCrashConsentAlert() {
  ZKStoreHelper::sharedHelper()->setCrashConsentAlert([]() -> int {
    auto alert = ZKAlert::alert();
    alert->alertStyle = ZKAlert::Style::Warning;
    alert->messageText =
        QStringLiteral("%1 encountered a problem and crashed").arg(QCoreApplication::applicationName());
    alert->informativeText =
        QStringLiteral("Would you like to send an anonymous crash report so that we can fix this issue?");
    alert->addButtonWithTitle(QStringLiteral("Always Send"));
    alert->addButtonWithTitle(QStringLiteral("Send"));
    alert->addButtonWithTitle(QStringLiteral("Don't Send"));
    // The crash service asks on the main thread and expects the answer before it goes on, so the
    // alert is waited for in a loop of its own, as a modal box would be.
    std::optional<ZKModalResponse> answer;
    QEventLoop loop;
    ZKAlertPresenter::shared().beginSheet(alert, nullptr, [&answer, &loop](ZKModalResponse response) {
      answer = response;
      loop.quit();
    });
    if (!answer) loop.exec();
    return answer.value_or(0);
  });
}

namespace {

// The main screen's size in pixels, height first, as the device description reports it; none
// without a screen. A size that differs from the one passed before makes the SDK describe the
// device again, so that later logs carry it.
void passScreenSize() {
  std::optional<std::pair<int, int>> size;
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect frame = screen->geometry();
    const qreal scale = screen->devicePixelRatio();
    size = std::make_pair(static_cast<int>(frame.height() * scale), static_cast<int>(frame.width() * scale));
  }
  const auto previous = TLApplicationHooks::screenSize();
  if (previous == size) return;
  if (size) {
    TLApplicationHooks::setScreenSize(size->first, size->second);
  } else {
    TLApplicationHooks::clearScreenSize();
  }
  if (previous) TLDeviceTracker::refreshDeviceNextTime();
}

void watchScreen(QScreen* screen) {
  auto* application = qGuiApp;
  QObject::connect(screen, &QScreen::geometryChanged, application, [] { passScreenSize(); });
  // A new scale comes with a new logical resolution.
  QObject::connect(screen, &QScreen::logicalDotsPerInchChanged, application, [] { passScreenSize(); });
}

}  // namespace

void QVInstallScreenSizeReporting() {
  auto* application = qGuiApp;
  if (!application) return;
  Q_ASSERT_X(QThread::currentThread() == application->thread(), "QVInstallScreenSizeReporting",
             "main thread only");
  for (QScreen* screen : QGuiApplication::screens()) watchScreen(screen);
  QObject::connect(application, &QGuiApplication::screenAdded, application, &watchScreen);
  QObject::connect(application, &QGuiApplication::primaryScreenChanged, application,
                   [] { passScreenSize(); });
  QObject::connect(application, &QGuiApplication::screenRemoved, application, [] { passScreenSize(); });
  passScreenSize();
}

void QVStartTelemetry() {
  // The session tracker hears of activity from Qt's application state; the device description gets
  // the main screen's size before the SDK first builds it; the store helper starts the SDK with the
  // analytics and crash services (a build without an ingestion address starts nothing).
  platform::installApplicationActivityBridge();
  QVInstallScreenSizeReporting();
  QVInstallCrashConsentAlert();
  ZKStoreHelper::sharedHelper()->configureWithAppSecret(kQVTelemetryAppSecret);
}
