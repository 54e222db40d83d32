#include <gtest/gtest.h>

#include <QtCore/QThread>
#include <QtWidgets/QApplication>
#include <atomic>
#include <thread>
#include <vector>

#include "engine/QVDashboardGroup.h"
#include "engine/QVDashboardModule.h"
#include "engine/QVModuleLog.h"
#include "engine/desktop/EngineBridge.h"
#include "platform/desktop/QtText.h"
#include "platform/desktop/testing/GuiTest.h"
#include "testing/TreePaths.h"

namespace {

class EngineBridgeTest : public qvtesting::GuiTest {
 protected:
  void SetUp() override {
    GuiTest::SetUp();
    module = QVDashboardModule::moduleWithPath(
        (std::filesystem::path(QV_ENGINE_FIXTURES) / "packages" / "Minimal.quorvanemodule").string());
    ASSERT_TRUE(module);
  }
  static QVModuleResult::Pointer result(const std::string& text) {
    return std::make_shared<QVModuleResult>(true, platform::Date::now(), text, std::nullopt);
  }
  static bool onGuiThread() { return QThread::currentThread() == qApp->thread(); }

  QVDashboardModule::Pointer module;
};

TEST_F(EngineBridgeTest, AResultSetOnARunThreadArrivesOnTheGuiThreadAsItWas) {
  EngineBridge bridge;
  std::vector<QVModuleSnapshot> received;
  bool allOnGui = true;
  QObject::connect(&bridge, &EngineBridge::moduleResultDidChange, &bridge,
                   [&](const QVModuleSnapshot& snapshot) {
                     allOnGui = allOnGui && onGuiThread();
                     received.push_back(snapshot);
                   });
  std::thread run([&] {
    module->setLastResult(result("first"));
    module->setLastResult(result("second"));
  });
  run.join();
  // Nothing is emitted inside the engine's call: the signals come from the loop.
  EXPECT_TRUE(received.empty());
  ASSERT_TRUE(runUntil([&] { return received.size() == 2; }));
  EXPECT_TRUE(allOnGui);
  EXPECT_EQ(received[0].uid, module->uid());
  // Each snapshot holds the result of its own moment, not the module's latest.
  EXPECT_EQ(received[0].lastResult->resultString(), "first");
  EXPECT_EQ(received[1].lastResult->resultString(), "second");
  EXPECT_EQ(received[0].displayName, module->displayName());
}

TEST_F(EngineBridgeTest, ModuleAndGroupChangesAreToldApart) {
  EngineBridge bridge;
  std::vector<std::string> names;
  int groupChanges = 0;
  QObject::connect(&bridge, &EngineBridge::moduleDidChange, &bridge, [&](const QVModuleSnapshot& snapshot) {
    names.push_back(snapshot.displayName.value_or(""));
  });
  QObject::connect(&bridge, &EngineBridge::groupsDidChange, &bridge, [&] { ++groupChanges; });
  module->setName("Renamed");
  auto group = QVDashboardGroup::groupWithName("Weather");
  group->setName("Outside");
  ASSERT_TRUE(runUntil([&] { return !names.empty() && groupChanges >= 1; }));
  EXPECT_EQ(names.back(), "Renamed");
}

TEST_F(EngineBridgeTest, WatchedModulesTellUpdatingAndLogLinesUntilUnwatched) {
  EngineBridge bridge;
  std::vector<std::pair<QString, bool>> updating;
  std::vector<QVModuleLogSnapshot> logs;
  QObject::connect(&bridge, &EngineBridge::moduleUpdatingDidChange, &bridge,
                   [&](const QString& uid, bool flag) { updating.emplace_back(uid, flag); });
  QObject::connect(&bridge, &EngineBridge::moduleLogDidChange, &bridge,
                   [&](const QVModuleLogSnapshot& log) { logs.push_back(log); });
  bridge.watchModule(module);
  bridge.watchModule(module);  // a second watch replaces the first: one signal per change
  EXPECT_EQ(bridge.watchedModuleCount(), 1u);
  std::thread run([&] {
    module->setIsUpdating(true);
    module->log()->addLogLine(QVModuleLogLine::lineWithType(QVModuleLogLineType::info, "hello"));
    module->setIsUpdating(false);
  });
  run.join();
  ASSERT_TRUE(runUntil([&] { return updating.size() == 2 && logs.size() == 1; }));
  runFor(0.05);
  ASSERT_EQ(updating.size(), 2u);
  EXPECT_EQ(updating[0], std::make_pair(platform::toQString(module->uid()), true));
  EXPECT_FALSE(updating[1].second);
  ASSERT_EQ(logs.size(), 1u);
  EXPECT_EQ(logs[0].uid, module->uid());
  ASSERT_FALSE(logs[0].lines.empty());
  EXPECT_EQ(logs[0].lines.back()->logString(), "hello");

  bridge.unwatchModule(module->uid());
  EXPECT_EQ(bridge.watchedModuleCount(), 0u);
  module->setIsUpdating(true);
  module->log()->addLogLine(QVModuleLogLine::lineWithType(QVModuleLogLineType::info, "unheard"));
  runFor(0.05);
  EXPECT_EQ(updating.size(), 2u);
  EXPECT_EQ(logs.size(), 1u);
}

// A viewer following a module's log hears its lines while its handle lives, beside a watch of the same
// module and after that watch ends.
TEST_F(EngineBridgeTest, AFollowedLogIsToldWhileItsHandleLives) {
  EngineBridge bridge;
  std::vector<QVModuleLogSnapshot> logs;
  QObject::connect(&bridge, &EngineBridge::moduleLogDidChange, &bridge,
                   [&](const QVModuleLogSnapshot& log) { logs.push_back(log); });
  EXPECT_EQ(bridge.followModuleLog(nullptr), nullptr);
  bridge.watchModule(module);
  auto handle = bridge.followModuleLog(module);
  std::thread run(
      [&] { module->log()->addLogLine(QVModuleLogLine::lineWithType(QVModuleLogLineType::info, "both")); });
  run.join();
  ASSERT_TRUE(runUntil([&] { return logs.size() == 2; })) << "the watch and the follow each tell";
  bridge.unwatchModule(module->uid());
  module->log()->addLogLine(QVModuleLogLine::lineWithType(QVModuleLogLineType::info, "followed"));
  ASSERT_TRUE(runUntil([&] { return logs.size() == 3; }));
  EXPECT_EQ(logs[2].uid, module->uid());
  EXPECT_EQ(logs[2].lines.back()->logString(), "followed");
  handle.reset();
  module->log()->addLogLine(QVModuleLogLine::lineWithType(QVModuleLogLineType::info, "unheard"));
  runFor(0.05);
  EXPECT_EQ(logs.size(), 3u);
}

// A bridge destroyed while a run thread keeps telling changes neither crashes nor emits afterwards.
TEST_F(EngineBridgeTest, GoesSafelyWhileRunThreadsKeepTelling) {
  std::atomic<bool> stop{false};
  std::thread run([&] {
    while (!stop.load()) {
      module->setLastResult(result("tick"));
      module->setIsUpdating(!module->isUpdating());
    }
  });
  for (int round = 0; round < 20; ++round) {
    auto bridge = std::make_unique<EngineBridge>();
    bridge->watchModule(module);
    int heard = 0;
    QObject::connect(bridge.get(), &EngineBridge::moduleResultDidChange, bridge.get(),
                     [&](const QVModuleSnapshot&) { ++heard; });
    runUntil([&] { return heard > 0; }, 2.0);
    bridge.reset();
    QCoreApplication::processEvents();
  }
  stop = true;
  run.join();
}

}  // namespace
