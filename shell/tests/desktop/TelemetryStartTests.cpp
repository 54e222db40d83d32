// The desktop's telemetry start: every log's device description carries the main screen's size in
// pixels, height first, from the start on and again after the screens change.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QtGui/QGuiApplication>
#include <QtGui/QScreen>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Telemetry/Internals/Channel/TLChannelGroupDefault.h"
#include "Telemetry/Internals/Context/TLDeviceTracker.h"
#include "Telemetry/Internals/Util/TLApplicationHooks.h"
#include "Telemetry/TLTelemetry.h"
#include "platform/SecretStore.h"
#include "platform/SettingsStore.h"
#include "platform/desktop/testing/GuiTest.h"
#include "shell/QVTelemetryStart.h"
#include "testing/TelemetryIngestionServer.h"

extern char** environ;

namespace {

constexpr const char* kInsideVariable = "QV_TELEMETRY_START_INSIDE";

class TelemetryStartTest : public qvtesting::GuiTest {};

// Runs the inner test in a process of its own on an offscreen screen 1440 points wide and 900 high
// at scale 2 (the size of a screen is fixed when the application starts).
TEST_F(TelemetryStartTest, LogsCarryTheMainScreenSizeInPixelsHeightFirst) {
  auto config = writeFile("screens.json", R"({"screens": [{"name": "main", "x": 0, "y": 0, "width": 1440,
      "height": 900, "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 2}]})");
  std::vector<std::string> environment;
  for (char** variable = environ; *variable; ++variable) {
    std::string text = *variable;
    if (text.rfind("QT_QPA_PLATFORM=", 0) != 0) environment.push_back(text);
  }
  environment.push_back("QT_QPA_PLATFORM=offscreen:configfile=" + config.string());
  environment.push_back(std::string(kInsideVariable) + "=1");
  std::vector<char*> envp;
  for (auto& text : environment) envp.push_back(text.data());
  envp.push_back(nullptr);
  std::string also = "--gtest_also_run_disabled_tests";
  std::string filter = "--gtest_filter=TelemetryStartInside.*";
  char* argv[] = {const_cast<char*>("/proc/self/exe"), also.data(), filter.data(), nullptr};
  const auto output = root() / "inside.txt";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, "/proc/self/exe", &actions, nullptr, argv, envp.data()), 0);
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  std::ifstream in(output);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << text.str();
  EXPECT_NE(text.str().find("[  PASSED  ] 1 test"), std::string::npos) << text.str();
}

class TelemetryStartInside : public qvtesting::GuiTest {
 protected:
  void SetUp() override {
    GuiTest::SetUp();
    setenv("no_proxy", "127.0.0.1,localhost", 1);
    platform::SecretStore::setShared(platform::SecretStore::memoryStore());
    platform::SettingsStore::setStandardUserDefaults(platform::SettingsStore::inMemoryStore());
  }
  void TearDown() override {
    // The pipeline finishes its queued work before the sandbox goes away.
    if (auto group =
            std::dynamic_pointer_cast<TLChannelGroupDefault>(TLTelemetry::sharedInstance()->channelGroup())) {
      group->logsDispatchQueue()->sync([] {});
    }
    GuiTest::TearDown();
  }
};

TEST_F(TelemetryStartInside, DISABLED_TheMainScreenSizeReachesTheLogs) {
  if (!std::getenv(kInsideVariable)) GTEST_SKIP() << "runs inside TelemetryStartTest only";
  QScreen* screen = QGuiApplication::primaryScreen();
  ASSERT_TRUE(screen);
  ASSERT_EQ(screen->geometry().size(), QSize(1440, 900));
  ASSERT_EQ(screen->devicePixelRatio(), 2.0);
  qvtesting::TelemetryIngestionServer server;
  ASSERT_TRUE(server.start());
  TLTelemetry::setLogUrl(server.baseURL());

  QVStartTelemetry();
  // The start-service and start-session logs.
  ASSERT_TRUE(runUntil([&] { return server.allLogs().size() >= 2; }, 60)) << server.allLogs().size();
  for (const auto& log : server.allLogs()) {
    EXPECT_EQ(log["device"].value("screenSize", ""), "1800x2880") << log.dump();
  }

  // Once the screens change, the size is read again and the device described anew with it.
  TLApplicationHooks::setScreenSize(1, 1);
  TLDeviceTracker::refreshDeviceNextTime();
  ASSERT_EQ(TLDeviceTracker::sharedInstance()->device()->screenSize(), "1x1");
  Q_EMIT screen->geometryChanged(screen->geometry());
  EXPECT_EQ(TLDeviceTracker::sharedInstance()->device()->screenSize(), "1800x2880");
  server.stop();
}

}  // namespace
