#pragma once

#include <QtCore/QObject>
#include <QtCore/QStringList>
#include <QtCore/QVariantMap>
#include <QtDBus/QDBusConnection>
#include <vector>

namespace qvtesting {

// The desktop's notification server ("org.freedesktop.Notifications") as far as the application uses
// it: it answers GetCapabilities with the capabilities it was given, keeps each Notify call, and can
// report an action the user invoked. It serves on the connection it is given, on the thread that runs
// the Qt event loop; it gives its name up when it goes.
class FakeNotificationServer : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

 public:
  struct Call {
    QString appName, summary, body;
    QStringList actions;
    QVariantMap hints;
    uint id;
  };

  // A server that can show actions and bodies and play sounds.
  static QStringList allCapabilities() {
    return {QStringLiteral("actions"), QStringLiteral("body"), QStringLiteral("sound")};
  }

  explicit FakeNotificationServer(QDBusConnection bus, QStringList capabilities = allCapabilities());
  ~FakeNotificationServer() override;

  // Whether the server owns the name on the bus.
  bool isRegistered() const { return registered_; }
  // Sends ActionInvoked for a notification, as a click on it or its button does.
  void invoke(uint id, const QString& action);

  std::vector<Call> calls;

 public Q_SLOTS:
  uint Notify(const QString& appName, uint replacesId, const QString& appIcon, const QString& summary,
              const QString& body, const QStringList& actions, const QVariantMap& hints, int timeout);
  QStringList GetCapabilities();
  void CloseNotification(uint id);
  QString GetServerInformation(QString& vendor, QString& version, QString& specVersion);

 private:
  QDBusConnection bus_;
  QStringList capabilities_;
  bool registered_ = false;
};

}  // namespace qvtesting
