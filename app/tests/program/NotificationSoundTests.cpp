// A module that sends many notifications at once, with "Play Sound" on: every one of them is heard,
// once. With a notification server that plays sounds, each Notify call on the session bus carries the
// module's sound as its "sound-file" hint; with no server, the program plays each sound itself.
#include <QtDBus/QDBusConnection>
#include <QtDBus/QDBusConnectionInterface>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/tests/program/ProgramTest.h"
#include "engine/QVDashboardModuleManager.h"
#include "engine/QVEngineEnvironment.h"
#include "platform/SettingsStore.h"
#include "platform/desktop/testing/FakeNotificationServer.h"
#include "platform/desktop/testing/FakeSoundPlayer.h"
#include "testing/TreePaths.h"

namespace {

namespace fs = std::filesystem;
using qvprogram::ProgramTest;
using qvtesting::FakeNotificationServer;
using qvtesting::FakeSoundPlayer;

// How many notifications the module sends in one burst: enough that a sound lost now and then is
// seen. Where each sound starts a player, fewer keep the test short; losing sounds shows there sooner.
constexpr int kBurst = 1000;
constexpr int kPlayedBurst = 200;
constexpr const char* kBundleID = "com.example.notificationburst";

// How often `needle` occurs in `text`.
int occurrences(const std::string& text, const std::string& needle) {
  int count = 0;
  for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size()))
    ++count;
  return count;
}

class NotificationSoundXvfbTest : public ProgramTest {
 protected:
  void SetUp() override {
    ProgramTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    player = std::make_unique<FakeSoundPlayer>(root() / "player");
  }
  void TearDown() override {
    ProgramTest::TearDown();
    player.reset();
  }

  // Installs a user module that sends `count` notifications in one go, and puts it in the only group,
  // as a user who added it would have it: its notification options as they come ("Show
  // Notifications" and "Play Sound" on, the default sound). The program starts with these files.
  void installBurstModule(int count) {
    const fs::path package = supportFolder() / "Modules" / "Notification Burst.quorvanemodule";
    fs::create_directories(package);
    std::ofstream(package / "package.json") << nlohmann::json{
        {"name", "Notification Burst"},
        {"author", "Tests"},
        {"bundleID", kBundleID},
        {"version", "1.0"},
        {"description", "Many notifications at once"},
        {"refreshInterval", 3600},
        {"hasNotifications", true}}.dump();
    std::ofstream(package / "main.js")
        << "'use strict';\n"
           "let out = '';\n"
           "for (let i = 1; i <= "
        << count
        << "; i++) {\n"
           "  out += JSON.stringify({type: 'notification', options: [{id: 'burst-' + i, message: 'Burst ' + "
           "i}]}) + '\\n';\n"
           "}\n"
           "out += JSON.stringify({type: 'finished', options: {result: 'Sent', success: true}}) + '\\n';\n"
           "process.stdout.write(out);\n";

    // The groups archive, written by the engine itself in this process; its settings stay apart.
    platform::SettingsStore::setStandardUserDefaults(platform::SettingsStore::inMemoryStore());
    QVEngineEnvironment::setResourceFolder(fs::path(QV_APPLICATION_EXECUTABLE).parent_path().parent_path() /
                                           "resources");
    {
      auto manager = QVDashboardModuleManager::make();
      ASSERT_EQ(fs::path(manager->saveURL()), supportFolder() / "Modules.plist");
      ASSERT_TRUE(manager->configure());
      manager->reloadUserModules();
      const auto modules = manager->userModules();
      ASSERT_EQ(modules.size(), 1u) << "the module did not load";
      const auto groups = manager->groups();
      ASSERT_FALSE(groups.empty());
      groups.front()->addModule(modules.front());
      const auto soundName = modules.front()->notificationOptionWithKey("soundName");
      ASSERT_TRUE(soundName && soundName->value());
      sound = soundName->value()->stringValue().value_or("");
      ASSERT_FALSE(sound.empty()) << "the module has no sound";
      ASSERT_TRUE(manager->saveToFile());
    }
    QVEngineEnvironment::setResourceFolder(std::nullopt);
    platform::SettingsStore::setStandardUserDefaults(nullptr);
  }

  std::unique_ptr<FakeSoundPlayer> player;
  std::string sound;  // the module's sound file
};

TEST_F(NotificationSoundXvfbTest, WithANotificationServerEveryNotificationCarriesItsSound) {
  // The desktop's notification server, one that plays sounds.
  FakeNotificationServer server(QDBusConnection::sessionBus());
  ASSERT_TRUE(server.isRegistered()) << "another notification server runs on the session bus";
  ASSERT_NO_FATAL_FAILURE(installBurstModule(kBurst));
  ASSERT_NO_FATAL_FAILURE(
      startBusMonitor({QStringLiteral("interface='org.freedesktop.Notifications',member='Notify'")}));

  ASSERT_NO_FATAL_FAILURE(launch());
  ASSERT_TRUE(runUntil([&] { return server.calls.size() >= kBurst; }, 15))
      << server.calls.size() << " of " << kBurst << " notifications came";
  runFor(0.5);
  screenshot("after-burst");

  EXPECT_EQ(server.calls.size(), std::size_t(kBurst));
  int withSound = 0;
  for (const auto& call : server.calls) {
    if (call.hints.value(QStringLiteral("sound-file")).toString().toStdString() == sound) ++withSound;
  }
  EXPECT_EQ(withSound, kBurst) << "notifications lost their sound";
  // The same on the bus, as the server received them.
  const std::string bus = busLog();
  EXPECT_EQ(occurrences(bus, "member=Notify"), kBurst);
  EXPECT_EQ(occurrences(bus, "string \"sound-file\""), kBurst);
  // The server plays them: the program does not as well.
  EXPECT_TRUE(player->played().isEmpty())
      << player->played().size() << " sounds were played by the program instead";
}

TEST_F(NotificationSoundXvfbTest, WithoutANotificationServerTheProgramPlaysEverySoundItself) {
  ASSERT_FALSE(QDBusConnection::sessionBus().interface()->isServiceRegistered(
      QStringLiteral("org.freedesktop.Notifications")))
      << "a notification server runs on the session bus";
  ASSERT_NO_FATAL_FAILURE(installBurstModule(kPlayedBurst));

  ASSERT_NO_FATAL_FAILURE(launch());
  ASSERT_TRUE(runUntil([&] { return player->played().size() >= kPlayedBurst; }, 15))
      << player->played().size() << " of " << kPlayedBurst << " sounds were played";
  runFor(0.5);
  const QStringList played = player->played();
  EXPECT_EQ(played.size(), kPlayedBurst);
  for (const QString& file : played) EXPECT_EQ(file.toStdString(), sound);
}

}  // namespace
