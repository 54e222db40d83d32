#include <fmt/format.h>
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
#include "platform/desktop/testing/FakeNotificationServer.h"
#include "platform/desktop/testing/FakeSoundPlayer.h"
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

using qvtesting::FakeNotificationServer;

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
  ASSERT_TRUE(server.isRegistered());
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

// Many notifications with a sound, sent quickly from several runs' output threads while the GUI
// thread goes on: each one is heard exactly once, as the "sound-file" hint of its Notify call when the
// server shows it and plays sounds, and by the desktop's sound player otherwise.
TEST_F(DesktopBusTest, EveryNotificationSoundIsHeardExactlyOnce) {
  struct Case {
    const char* name;
    std::optional<QStringList> server;  // its capabilities; none: no server on the bus
    bool popup;                         // the module's "showPopup"
    bool hinted;                        // the Notify calls carry the sound; otherwise the player plays it
  };
  const QStringList withoutSound{QStringLiteral("actions"), QStringLiteral("body")};
  const std::vector<Case> cases = {
      {"a server that plays sounds", FakeNotificationServer::allCapabilities(), true, true},
      {"a server that cannot play sounds", withoutSound, true, false},
      {"no notification server", std::nullopt, true, false},
      {"no pop-up", FakeNotificationServer::allCapabilities(), false, false},
  };
  constexpr int kThreads = 4;
  constexpr int kPerThread = 30;
  constexpr int kCount = kThreads * kPerThread;
  int caseNumber = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    qvtesting::FakeSoundPlayer player(root() / ("player-" + std::to_string(++caseNumber)));
    std::unique_ptr<FakeNotificationServer> server;
    if (c.server) {
      server = std::make_unique<FakeNotificationServer>(bus.connect(), *c.server);
      ASSERT_TRUE(server->isRegistered());
    }
    QVDesktopNotificationSink sink(bus.connect());
    int answered = 0;  // Notify calls answered, by the server or with an error
    QObject::connect(&sink, &QVDesktopNotificationSink::notificationSent, &sink, [&](uint) { ++answered; });
    auto center =
        QVNotificationCenter::make(std::shared_ptr<QVNotificationSink>(&sink, [](auto*) {}), nullptr);
    auto module = minimalModule();
    ASSERT_TRUE(module);
    setNotificationOption(module, "showPopup", c.popup);
    setNotificationOption(module, "playSound", true);
    setNotificationOption(module, "bounceDock", true);
    const auto sound = module->notificationOptionWithKey("soundName")->value()->stringValue();
    ASSERT_TRUE(sound && !sound->empty());

    std::atomic<int> done{0};
    std::vector<std::thread> outputs;
    for (int t = 0; t < kThreads; ++t) {
      outputs.emplace_back([&, t] {
        for (int i = 0; i < kPerThread; ++i) {
          const int id = t * kPerThread + i;
          center->deliverNotificationForModule(
              module,
              {{"type", "notification"},
               {"options", nlohmann::json::array({{{"id", id}, {"message", fmt::format("n{}", id)}}})}});
        }
        ++done;
      });
    }
    // The GUI thread runs meanwhile, as in the application.
    const bool delivered = runUntil([&] { return done == kThreads; }, 10);
    for (auto& output : outputs) output.join();
    ASSERT_TRUE(delivered);
    const int expectedPlays = c.hinted ? 0 : kCount;
    const int expectedAnswers = c.popup ? kCount : 0;
    EXPECT_TRUE(
        runUntil([&] { return answered == expectedAnswers && player.played().size() >= expectedPlays; }, 10))
        << answered << " answered, " << player.played().size() << " played";
    // Nothing more comes afterwards.
    runFor(0.3);
    EXPECT_EQ(answered, expectedAnswers);
    const QStringList played = player.played();
    EXPECT_EQ(played.size(), expectedPlays);
    for (const QString& file : played) EXPECT_EQ(file.toStdString(), *sound);
    if (server) {
      ASSERT_EQ(int(server->calls.size()), expectedAnswers);
      int withSound = 0;
      for (const auto& call : server->calls) {
        if (call.hints.contains(QStringLiteral("sound-file"))) {
          ++withSound;
          EXPECT_EQ(call.hints.value(QStringLiteral("sound-file")).toString().toStdString(), *sound);
        }
      }
      EXPECT_EQ(withSound, c.hinted ? kCount : 0);
    }
    runFor(0.1);
  }
}

// The server comes and goes while the application runs: each notification's sound is still heard
// once, and a server that came is given the sounds from then on.
TEST_F(DesktopBusTest, ANotificationServerThatComesAndGoesGetsTheSoundsWhileItIsThere) {
  qvtesting::FakeSoundPlayer player(root() / "player");
  QVDesktopNotificationSink sink(bus.connect());
  int answered = 0;
  QObject::connect(&sink, &QVDesktopNotificationSink::notificationSent, &sink, [&](uint) { ++answered; });
  auto center = QVNotificationCenter::make(std::shared_ptr<QVNotificationSink>(&sink, [](auto*) {}), nullptr);
  auto module = minimalModule();
  ASSERT_TRUE(module);
  setNotificationOption(module, "showPopup", true);
  setNotificationOption(module, "playSound", true);
  int next = 0;
  // Sends one notification and waits for its answer; how its sound was heard (by the server, by the
  // player) as counts.
  std::unique_ptr<FakeNotificationServer> server;
  auto sendOne = [&]() -> std::pair<int, int> {
    const int id = ++next;
    const int answeredBefore = answered;
    const auto playedBefore = player.played().size();
    const std::size_t callsBefore = server ? server->calls.size() : 0;
    center->deliverNotificationForModule(
        module,
        {{"type", "notification"}, {"options", nlohmann::json::array({{{"id", id}, {"message", "m"}}})}});
    EXPECT_TRUE(runUntil([&] { return answered > answeredBefore; }));
    // The player is a process of its own: its note may come a little later.
    runUntil([&] { return player.played().size() > playedBefore; }, 0.3);
    int byServer = 0;
    if (server) {
      for (std::size_t i = callsBefore; i < server->calls.size(); ++i)
        if (server->calls[i].hints.contains(QStringLiteral("sound-file"))) ++byServer;
    }
    return {byServer, int(player.played().size() - playedBefore)};
  };

  // No server: the player plays.
  EXPECT_EQ(sendOne(), std::make_pair(0, 1));
  // A server that plays sounds arrives: once the sink has heard of it, the sound goes with the
  // notification; each one is heard once meanwhile.
  server = std::make_unique<FakeNotificationServer>(bus.connect());
  ASSERT_TRUE(server->isRegistered());
  bool serverPlays = false;
  for (int i = 0; i < 20 && !serverPlays; ++i) {
    const auto [byServer, byPlayer] = sendOne();
    EXPECT_EQ(byServer + byPlayer, 1);
    serverPlays = byServer == 1;
  }
  EXPECT_TRUE(serverPlays) << "the new server was never given the sound";
  // It goes away again: the player plays, whether or not the sink has heard of it yet.
  server.reset();
  for (int i = 0; i < 3; ++i) EXPECT_EQ(sendOne(), std::make_pair(0, 1));
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
