#include "shell/QVTelemetryStart.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QEventLoop>
#include <optional>

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

void QVStartTelemetry() {
  // The session tracker hears of activity from Qt's application state; the store helper starts the
  // SDK with the analytics and crash services (a build without an ingestion address starts nothing).
  platform::installApplicationActivityBridge();
  QVInstallCrashConsentAlert();
  ZKStoreHelper::sharedHelper()->configureWithAppSecret(kQVTelemetryAppSecret);
}
