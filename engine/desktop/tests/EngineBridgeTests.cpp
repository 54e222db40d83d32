#include <gtest/gtest.h>

#include <QtCore/QThread>
#include <QtWidgets/QApplication>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
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

// Run threads, one per module, that keep telling results numbered from 1, each followed by a flip of
// the module's updating flag and a log line with the same number; they can be held at a known point
// and let go again.
class TellingRuns {
 public:
  explicit TellingRuns(const std::vector<QVDashboardModule::Pointer>& modules) : told_(modules.size()) {
    for (std::size_t i = 0; i < modules.size(); ++i) {
      threads_.emplace_back([this, i, module = modules[i]] {
        while (!stop_.load()) {
          if (hold_.load()) {
            held_.fetch_add(1);
            while (hold_.load() && !stop_.load()) std::this_thread::yield();
            held_.fetch_sub(1);
            continue;
          }
          const std::uint64_t number = told_[i].load() + 1;
          module->setLastResult(std::make_shared<QVModuleResult>(true, platform::Date::now(),
                                                                 std::to_string(number), std::nullopt));
          module->setIsUpdating(!module->isUpdating());
          module->log()->addLogLine(
              QVModuleLogLine::lineWithType(QVModuleLogLineType::info, std::to_string(number)));
          told_[i].store(number);
          // A run tells a change now and then, not in a tight loop: the GUI thread keeps up.
          std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
      });
    }
  }
  ~TellingRuns() {
    stop_.store(true);
    for (auto& thread : threads_) thread.join();
  }
  // Holds every run between two results; answers the last number each told.
  std::vector<std::uint64_t> hold() {
    hold_.store(true);
    while (held_.load() < static_cast<int>(threads_.size())) std::this_thread::yield();
    std::vector<std::uint64_t> told;
    for (const auto& number : told_) told.push_back(number.load());
    return told;
  }
  void letGo() {
    hold_.store(false);
    while (held_.load() > 0) std::this_thread::yield();
  }

 private:
  std::vector<std::atomic<std::uint64_t>> told_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> hold_{false};
  std::atomic<int> held_{0};
  std::vector<std::thread> threads_;
};

// What one bridge emitted, recorded where it was emitted (direct connections: a signal emitted off
// the GUI thread is seen there).
struct HeardFromBridge {
  std::mutex mutex;
  std::map<std::string, std::vector<std::uint64_t>> results;  // by module uid, in the order emitted
  std::map<QString, std::vector<bool>> updating;
  std::map<std::string, std::vector<std::uint64_t>> logs;  // the number of each log's last line
  int offGuiThread = 0;
  int total = 0;
};

// Several run threads keep telling results, updating flags and log lines while bridges come and go.
// Every snapshot told to a bridge arrives on the GUI thread, in the order each run told it, none lost,
// none twice, each with the state of its own moment; a bridge goes away safely while the runs keep
// telling, also while the logs it followed outlive it (the sanitizer build sees any use of a bridge
// that has gone).
TEST_F(EngineBridgeTest, GoesSafelyWhileRunThreadsKeepTelling) {
  std::vector<QVDashboardModule::Pointer> modules{module};
  for (int i = 0; i < 2; ++i) {
    modules.push_back(QVDashboardModule::moduleWithPath(
        (std::filesystem::path(QV_ENGINE_FIXTURES) / "packages" / "Minimal.quorvanemodule").string()));
    ASSERT_TRUE(modules.back());
  }
  std::map<std::string, std::size_t> indexOf;
  for (std::size_t i = 0; i < modules.size(); ++i) indexOf[modules[i]->uid()] = i;
  ASSERT_EQ(indexOf.size(), modules.size()) << "the modules need uids of their own";

  TellingRuns runs(modules);
  for (int round = 0; round < 12; ++round) {
    SCOPED_TRACE(round);
    auto heard = std::make_shared<HeardFromBridge>();
    auto bridge = std::make_unique<EngineBridge>();
    bridge->watchUpdatingOfModules(modules);
    QObject::connect(
        bridge.get(), &EngineBridge::moduleResultDidChange, bridge.get(),
        [heard](const QVModuleSnapshot& snapshot) {
          std::lock_guard lock(heard->mutex);
          ++heard->total;
          if (!onGuiThread()) ++heard->offGuiThread;
          heard->results[snapshot.uid].push_back(
              snapshot.lastResult ? std::stoull(snapshot.lastResult->resultString().value_or("0")) : 0);
        },
        Qt::DirectConnection);
    QObject::connect(
        bridge.get(), &EngineBridge::moduleUpdatingDidChange, bridge.get(),
        [heard](const QString& uid, bool updating) {
          std::lock_guard lock(heard->mutex);
          ++heard->total;
          if (!onGuiThread()) ++heard->offGuiThread;
          heard->updating[uid].push_back(updating);
        },
        Qt::DirectConnection);
    QObject::connect(
        bridge.get(), &EngineBridge::moduleLogDidChange, bridge.get(),
        [heard](const QVModuleLogSnapshot& log) {
          std::lock_guard lock(heard->mutex);
          ++heard->total;
          if (!onGuiThread()) ++heard->offGuiThread;
          heard->logs[log.uid].push_back(
              log.lines.empty() ? 0 : std::stoull(log.lines.back()->logString().value_or("0")));
        },
        Qt::DirectConnection);
    std::vector<std::shared_ptr<void>> follows;
    for (const auto& m : modules) follows.push_back(bridge->followModuleLog(m));
    auto count = [&](const std::string& uid) {
      std::lock_guard lock(heard->mutex);
      return heard->results[uid].size();
    };
    auto allHeard = [&](std::size_t atLeast) {
      for (const auto& m : modules)
        if (count(m->uid()) < atLeast) return false;
      return true;
    };
    ASSERT_TRUE(runUntil([&] { return allHeard(20); }, 10)) << "the runs' results did not come";

    // Held, the runs tell nothing more: every result told since the bridge heard the first one
    // arrives, in order, once.
    const std::vector<std::uint64_t> told = runs.hold();
    ASSERT_TRUE(runUntil(
        [&] {
          std::lock_guard lock(heard->mutex);
          for (const auto& m : modules) {
            for (auto* heardOf : {&heard->results, &heard->logs}) {
              const auto& numbers = (*heardOf)[m->uid()];
              if (numbers.empty() || numbers.back() < told[indexOf[m->uid()]]) return false;
            }
          }
          return true;
        },
        10))
        << "results told were not delivered";
    runFor(0.02);
    {
      std::lock_guard lock(heard->mutex);
      EXPECT_EQ(heard->offGuiThread, 0) << "signals were emitted off the GUI thread";
      for (const auto& m : modules) {
        const auto& numbers = heard->results[m->uid()];
        ASSERT_FALSE(numbers.empty());
        std::vector<std::uint64_t> expected;
        for (std::uint64_t n = numbers.front(); n <= told[indexOf[m->uid()]]; ++n) expected.push_back(n);
        EXPECT_EQ(numbers, expected) << "a run's results were lost, repeated or reordered";
        const auto& logs = heard->logs[m->uid()];
        ASSERT_FALSE(logs.empty());
        std::vector<std::uint64_t> expectedLogs;
        for (std::uint64_t n = logs.front(); n <= told[indexOf[m->uid()]]; ++n) expectedLogs.push_back(n);
        EXPECT_EQ(logs, expectedLogs) << "a run's log changes were lost, repeated or reordered";
        // The updating flags of a run alternate (one lost or reordered would repeat a value) and end
        // with the flag the held run left.
        const auto& flags = heard->updating[platform::toQString(m->uid())];
        ASSERT_GE(flags.size(), 10u);
        EXPECT_EQ(std::adjacent_find(flags.begin(), flags.end()), flags.end())
            << "a run's updating changes were lost or reordered";
        EXPECT_EQ(flags.back(), m->isUpdating()) << "the last updating change was lost";
      }
    }

    // Let go, the runs tell again, and the bridge goes in the middle of it: what was already posted
    // to it is dropped, what the runs tell after it is told to no one, also through the log follows
    // that outlive it.
    runs.letGo();
    const int before = [&] {
      std::lock_guard lock(heard->mutex);
      return heard->total;
    }();
    ASSERT_TRUE(runUntil(
        [&] {
          std::lock_guard lock(heard->mutex);
          return heard->total > before + 10;
        },
        10));
    bridge.reset();
    runFor(0.02);
    follows.clear();
    std::lock_guard lock(heard->mutex);
    EXPECT_EQ(heard->offGuiThread, 0) << "signals were emitted off the GUI thread";
  }
}

}  // namespace
