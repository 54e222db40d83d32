#pragma once

#include <QtCore/QObject>
#include <QtDBus/QDBusConnection>

#include "platform/NotificationCenter.h"

// The computer's sleep and wake as logind tells them ("PrepareForSleep" of
// "org.freedesktop.login1.Manager" on the system bus): posted as "NSWorkspaceWillSleepNotification"
// (true) and "NSWorkspaceDidWakeNotification" (false) on the workspace centre, where the run queues
// stop and restart their timers.
class QVSleepWakeMonitor : public QObject {
  Q_OBJECT

 public:
  explicit QVSleepWakeMonitor(
      QDBusConnection bus = QDBusConnection::systemBus(),
      platform::NotificationCenter& center = platform::NotificationCenter::workspaceCenter(),
      QObject* parent = nullptr);
  ~QVSleepWakeMonitor() override;

  // Whether the bus connection took the signal subscription.
  bool isListening() const { return listening_; }

  static constexpr const char* kService = "org.freedesktop.login1";
  static constexpr const char* kPath = "/org/freedesktop/login1";
  static constexpr const char* kInterface = "org.freedesktop.login1.Manager";

 private Q_SLOTS:
  void prepareForSleep(bool start);

 private:
  QDBusConnection bus_;
  platform::NotificationCenter& center_;
  bool listening_ = false;
};
