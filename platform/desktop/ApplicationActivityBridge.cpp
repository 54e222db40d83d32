#include "platform/desktop/ApplicationActivityBridge.h"

#include <QtGui/QGuiApplication>

#include "platform/ApplicationActivity.h"

namespace platform {

void installApplicationActivityBridge() {
  auto* application = qGuiApp;
  if (!application) return;
  QObject::connect(application, &QGuiApplication::applicationStateChanged, application,
                   [](Qt::ApplicationState state) {
                     ApplicationActivity::shared().applicationStateDidChange(state == Qt::ApplicationActive);
                   });
  ApplicationActivity::shared().applicationStateDidChange(QGuiApplication::applicationState() ==
                                                          Qt::ApplicationActive);
}

}  // namespace platform
