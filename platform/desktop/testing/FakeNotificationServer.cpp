#include "platform/desktop/testing/FakeNotificationServer.h"

#include <QtDBus/QDBusMessage>

namespace qvtesting {

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");

}  // namespace

FakeNotificationServer::FakeNotificationServer(QDBusConnection bus, QStringList capabilities)
    : bus_(std::move(bus)), capabilities_(std::move(capabilities)) {
  registered_ =
      bus_.registerObject(kPath, this, QDBusConnection::ExportAllSlots) && bus_.registerService(kService);
}

FakeNotificationServer::~FakeNotificationServer() {
  if (registered_) bus_.unregisterService(kService);
  bus_.unregisterObject(kPath);
}

void FakeNotificationServer::invoke(uint id, const QString& action) {
  auto signal = QDBusMessage::createSignal(kPath, kService, QStringLiteral("ActionInvoked"));
  signal << id << action;
  bus_.send(signal);
}

uint FakeNotificationServer::Notify(const QString& appName, uint, const QString&, const QString& summary,
                                    const QString& body, const QStringList& actions, const QVariantMap& hints,
                                    int) {
  calls.push_back({appName, summary, body, actions, hints, uint(calls.size() + 7)});
  return calls.back().id;
}

QStringList FakeNotificationServer::GetCapabilities() { return capabilities_; }

void FakeNotificationServer::CloseNotification(uint) {}

QString FakeNotificationServer::GetServerInformation(QString& vendor, QString& version,
                                                     QString& specVersion) {
  vendor = QStringLiteral("Quorvane tests");
  version = QStringLiteral("1");
  specVersion = QStringLiteral("1.2");
  return QStringLiteral("fake-notification-server");
}

}  // namespace qvtesting
