#include <gtest/gtest.h>

#include <QtCore/QProcess>
#include <QtCore/QUuid>
#include <QtDBus/QDBusConnection>
#include <QtDBus/QDBusMessage>
#include <atomic>
#include <thread>

#include "engine/QVDashboardModule.h"
#include "engine/QVDashboardModuleManager.h"
#include "engine/QVNotificationCenter.h"
#include "engine/QVRunNotifications.h"
#include "engine/QVShowRunner.h"
#include "engine/desktop/QVDesktopNotificationSink.h"
#include "engine/desktop/QVSleepWakeMonitor.h"
#include "platform/desktop/testing/GuiTest.h"
#include "platform/desktop/testing/RecordingDesktopServices.h"
#include "testing/TreePaths.h"

namespace {

// A message bus of the test's own: a dbus-daemon child that goes with the test.
class PrivateBus {
 public:
  PrivateBus() {
    daemon_.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--session"), QStringLiteral("--nofork"),
                                                  QStringLiteral("--print-address=1")});
    if (!daemon_.waitForStarted(5000)) return;
    while (address_.isEmpty() && daemon_.waitForReadyRead(5000))
      address_ = QString::fromUtf8(daemon_.readLine()).trimmed();
  }
  ~PrivateBus() {
    for (const QString& name : names_) QDBusConnection::disconnectFromBus(name);
    daemon_.terminate();
    daemon_.waitForFinished(3000);
  }
  bool isRunning() const { return !address_.isEmpty(); }
  // A new connection to the bus (each one a client of its own).
  QDBusConnection connect() {
    const QString name = QStringLiteral("test-") + QUuid::createUuid().toString(QUuid::WithoutBraces);
    names_.push_back(name);
    return QDBusConnection::connectToBus(address_, name);
  }

 private:
  QProcess daemon_;
  QString address_;
  QStringList names_;
};

// The desktop's notification server as far as the sink uses it: it keeps each Notify call and can
// report an action the user invoked.
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
  explicit FakeNotificationServer(QDBusConnection bus) : bus_(bus) {
    bus_.registerObject(QStringLiteral("/org/freedesktop/Notifications"), this,
                        QDBusConnection::ExportAllSlots);
    registered = bus_.registerService(QStringLiteral("org.freedesktop.Notifications"));
  }
  void invoke(uint id, const QString& action) {
    auto signal = QDBusMessage::createSignal(QStringLiteral("/org/freedesktop/Notifications"),
                                             QStringLiteral("org.freedesktop.Notifications"),
                                             QStringLiteral("ActionInvoked"));
    signal << id << action;
    bus_.send(signal);
  }
  std::vector<Call> calls;
  bool registered = false;

 public Q_SLOTS:
  uint Notify(const QString& appName, uint, const QString&, const QString& summary, const QString& body,
              const QStringList& actions, const QVariantMap& hints, int) {
    calls.push_back({appName, summary, body, actions, hints, uint(calls.size() + 7)});
    return calls.back().id;
  }
  QStringList GetCapabilities() {
    return {QStringLiteral("actions"), QStringLiteral("body"), QStringLiteral("sound")};
  }

 private:
  QDBusConnection bus_;
};

class DesktopBusTest : public qvtesting::GuiTest {
 protected:
  void SetUp() override {
    GuiTest::SetUp();
    ASSERT_TRUE(bus.isRunning()) << "dbus-daemon did not start";
    desktop = std::make_shared<qvtesting::RecordingDesktopServices>();
    platform::DesktopServices::setShared(desktop);
  }
  void TearDown() override {
    platform::DesktopServices::setShared(nullptr);
    GuiTest::TearDown();
  }
  PrivateBus bus;
  std::shared_ptr<qvtesting::RecordingDesktopServices> desktop;
};

QVDashboardModule::Pointer minimalModule() {
  auto module = QVDashboardModule::moduleWithPath(
      (std::filesystem::path(QV_ENGINE_FIXTURES) / "packages" / "Weather.quorvanemodule").string());
  module->setName("Weather in Oslo");
  return module;
}

void setNotificationOption(const QVDashboardModule::Pointer& module, const std::string& name, bool on) {
  auto option = module->notificationOptionWithKey(name);
  ASSERT_TRUE(option) << name;
  option->value()->setObjectValue(on);
}

TEST_F(DesktopBusTest, ModuleNotificationsReachTheServerWithTheirSoundAndTheActionOpensTheLink) {
  FakeNotificationServer server(bus.connect());
  ASSERT_TRUE(server.registered);
  QVDesktopNotificationSink sink(bus.connect());
  auto sinkPointer = std::shared_ptr<QVNotificationSink>(&sink, [](QVNotificationSink*) {});
  auto center = QVNotificationCenter::make(sinkPointer, nullptr);
  sink.setNotificationCenter(center);
  auto module = minimalModule();
  ASSERT_TRUE(module);
  setNotificationOption(module, "showPopup", true);
  setNotificationOption(module, "playSound", true);
  // The sound is one of the application's, as the option offers them.
  auto soundName = module->notificationOptionWithKey("soundName");
  ASSERT_TRUE(soundName);
  const auto sound = soundName->value()->stringValue();
  ASSERT_TRUE(sound && !sound->empty());

  // From a run's output thread, as the engine delivers.
  std::vector<uint> sent;
  QObject::connect(&sink, &QVDesktopNotificationSink::notificationSent, &sink,
                   [&](uint id) { sent.push_back(id); });
  std::thread output([&] {
    auto line = [](nlohmann::json first) {
      return nlohmann::json{{"type", "notification"}, {"options", nlohmann::json::array({std::move(first)})}};
    };
    center->deliverNotificationForModule(module, line({{"id", 1},
                                                       {"message", "Rain at 3 pm"},
                                                       {"url", "https://example.org/rain%20radar"},
                                                       {"actionButtonTitle", "Radar"}}));
    center->deliverNotificationForModule(module, line({{"id", 2}, {"message", "No link"}}));
  });
  output.join();
  ASSERT_TRUE(runUntil([&] { return server.calls.size() == 2; }, 3)) << sent.size() << " sent";
  const auto& first = server.calls[0];
  EXPECT_EQ(first.appName, QStringLiteral("Quorvane Dashboard"));
  EXPECT_EQ(first.summary, QStringLiteral("Weather in Oslo"));
  EXPECT_EQ(first.body, QStringLiteral("Rain at 3 pm"));
  EXPECT_EQ(first.actions, (QStringList{"default", "Radar", "open", "Radar"}));
  EXPECT_EQ(first.hints.value(QStringLiteral("sound-file")).toString().toStdString(), *sound);
  EXPECT_TRUE(server.calls[1].actions.isEmpty());
  ASSERT_TRUE(runUntil([&] { return sink.openNotificationCount() == 2; }));

  // Another application's notification id, then ours: only ours opens, and its link as written.
  server.invoke(999, QStringLiteral("default"));
  server.invoke(first.id, QStringLiteral("open"));
  ASSERT_TRUE(runUntil([&] { return !desktop->openedURLs.empty(); }));
  runFor(0.1);
  ASSERT_EQ(desktop->openedURLs.size(), 1u);
  EXPECT_EQ(desktop->openedURLs[0].toString(QUrl::FullyEncoded),
            QStringLiteral("https://example.org/rain%20radar"));
  // The link-less notification has no action to invoke.
  server.invoke(server.calls[1].id, QStringLiteral("default"));
  runFor(0.1);
  EXPECT_EQ(desktop->openedURLs.size(), 1u);
}

TEST_F(DesktopBusTest, WithoutANotificationServerNothingIsShownAndNothingBreaks) {
  QVDesktopNotificationSink sink(bus.connect());
  std::vector<uint> sent;
  QObject::connect(&sink, &QVDesktopNotificationSink::notificationSent, &sink,
                   [&](uint id) { sent.push_back(id); });
  QVUserNotification notification;
  notification.title = "Module";
  notification.informativeText = "Message";
  sink.deliverNotification(notification);
  ASSERT_TRUE(runUntil([&] { return !sent.empty(); }));
  EXPECT_EQ(sent[0], 0u);
  EXPECT_EQ(sink.openNotificationCount(), 0);
}

// logind as far as the monitor listens: it owns the name and sends PrepareForSleep.
void sendPrepareForSleep(QDBusConnection& logind, bool start) {
  auto signal = QDBusMessage::createSignal(QStringLiteral("/org/freedesktop/login1"),
                                           QStringLiteral("org.freedesktop.login1.Manager"),
                                           QStringLiteral("PrepareForSleep"));
  signal << start;
  logind.send(signal);
}

TEST_F(DesktopBusTest, PrepareForSleepStopsAndRestartsTheRunQueues) {
  QDBusConnection logind = bus.connect();
  ASSERT_TRUE(logind.registerService(QStringLiteral("org.freedesktop.login1")));
  platform::NotificationCenter& workspace = platform::NotificationCenter::workspaceCenter();
  std::vector<std::string> posted;
  auto token = workspace.addObserverForName(
      "", nullptr, [&](const platform::Notification& n) { posted.push_back(n.name); });
  QVSleepWakeMonitor monitor(bus.connect(), workspace);
  ASSERT_TRUE(monitor.isListening());

  auto manager = QVDashboardModuleManager::make();
  ASSERT_TRUE(manager->configure());
  auto runner = QVShowRunner::make(manager);
  runner->start();
  const auto queues = runner->timerQueues();
  ASSERT_FALSE(queues.empty());
  auto ticking = [&] {
    int count = 0;
    for (const auto& queue : queues) count += queue->isTicking() ? 1 : 0;
    return count;
  };
  const int before = ticking();
  ASSERT_GT(before, 0);

  sendPrepareForSleep(logind, true);
  ASSERT_TRUE(runUntil([&] { return ticking() == 0; }));
  EXPECT_EQ(posted, std::vector<std::string>{"NSWorkspaceWillSleepNotification"});
  sendPrepareForSleep(logind, false);
  ASSERT_TRUE(runUntil([&] { return ticking() == before; }));
  EXPECT_EQ(posted.back(), "NSWorkspaceDidWakeNotification");
  // Another sender of the same signal is not logind.
  QDBusConnection impostor = bus.connect();
  sendPrepareForSleep(impostor, true);
  runFor(0.2);
  EXPECT_EQ(ticking(), before);
  runner->stop();
}

TEST_F(DesktopBusTest, WithoutLogindTheMonitorSaysSoAndPostsNothing) {
  QVSleepWakeMonitor monitor(QDBusConnection(QStringLiteral("no-such-connection")));
  EXPECT_FALSE(monitor.isListening());
}

}  // namespace

#include "DesktopBusTests.moc"
