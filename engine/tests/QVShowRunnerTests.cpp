#include "engine/tests/RunTestSupport.h"

namespace enginetest {
namespace {

using nlohmann::json;

constexpr const char* kCancellationLine =
    "Module execution was cancelled. Try increasing the refresh interval if this module continues to get "
    "cancelled";

class ShowRunnerTest : public RunTest {};

TEST_F(ShowRunnerTest, SnappingIntervals) {
  load();
  struct Case {
    double interval;
    bool withDefault;
    double expected;
  };
  const std::vector<Case> cases = {
      {-1, true, 3600},       {-1, false, -1}, {17.5, false, 30},
      {100000, false, 86400}, {0, true, 5},    {61, false, 60},
  };
  for (const auto& test : cases) {
    EXPECT_EQ(runner_->closestAvailableTimeIntervalWithInterval(test.interval, test.withDefault),
              test.expected)
        << test.interval;
  }
}

TEST_F(ShowRunnerTest, StartBuildsNineTickingQueuesOfThreeRunsEach) {
  load();
  EXPECT_TRUE(runner_->timerQueues().empty());
  runner_->start();
  const auto queues = runner_->timerQueues();
  ASSERT_EQ(queues.size(), 9u);
  std::vector<double> intervals;
  for (const auto& queue : queues) {
    intervals.push_back(queue->interval());
    EXPECT_TRUE(queue->isTicking());
    EXPECT_EQ(queue->maxConcurrentOperationCount(), 3);
  }
  EXPECT_EQ(intervals, (std::vector<double>{5, 30, 60, 300, 600, 1800, 3600, 43200, 86400}));
  EXPECT_EQ(runner_->timerQueueWithInterval(300), queues[3]);
  EXPECT_FALSE(runner_->timerQueueWithInterval(7));

  post(QVApplicationWillTerminateNotification);
  ASSERT_TRUE(runUntil([&] {
    for (const auto& queue : queues) {
      if (queue->isTicking()) return false;
    }
    return true;
  }));
}

TEST_F(ShowRunnerTest, AFourthModuleWaitsForAFreeSlot) {
  load();
  auto group = manager_->groups()[0];
  std::vector<QVDashboardModule::Pointer> hanging;
  for (int i = 0; i < 3; ++i)
    hanging.push_back(addScripted(group, "hang" + std::to_string(i), json::array({{{"hang", true}}})));
  auto fourth = addScripted(group, "fourth", json::array({finished(true, "done")}));
  runner_->start();
  auto queue = runner_->timerQueueWithInterval(5);
  ASSERT_TRUE(runUntil([&] { return launches("hang0") + launches("hang1") + launches("hang2") == 3; }));
  EXPECT_EQ(executing(*queue), 3);
  EXPECT_EQ(queue->operationCount(), 4u);
  EXPECT_EQ(launches("fourth"), 0);

  // Ticks meanwhile are skipped.
  {
    qvtesting::LogCapture log;
    queue->timerDidFire();
    EXPECT_TRUE(log.contains("Waiting for 4 to finish"));
    EXPECT_EQ(queue->operationCount(), 4u);
  }

  // A freed slot lets the fourth run.
  queue->nodeOperations()[0]->cancel();
  ASSERT_TRUE(runUntil([&] { return fourth->lastResult() != nullptr; }));
  EXPECT_EQ(fourth->lastResult()->resultString(), "done");
  EXPECT_TRUE(logContains(hanging[0], kCancellationLine));
  ASSERT_TRUE(runUntil([&] { return queue->operationCount() == 2u; }));
  qvtesting::LogCapture log;
  queue->timerDidFire();
  EXPECT_TRUE(log.contains("Waiting for 2 to finish"));
}

TEST_F(ShowRunnerTest, HidingTheWindowStopsShortIntervalsOnly) {
  load();
  auto group = manager_->groups()[0];
  auto five = addScripted(group, "five", json::array({{{"hang", true}}}), 5);
  auto thirty = addScripted(group, "thirty", json::array({{{"hang", true}}}), 30);
  auto minute = addScripted(group, "minute", json::array({{{"hang", true}}}), 60);
  runner_->start();
  ASSERT_TRUE(runUntil([&] { return launches("five") + launches("thirty") + launches("minute") == 3; }));

  post(QVDockableWindowDidHideNotification);
  auto q5 = runner_->timerQueueWithInterval(5), q30 = runner_->timerQueueWithInterval(30),
       q60 = runner_->timerQueueWithInterval(60);
  ASSERT_TRUE(runUntil([&] { return q5->operationCount() == 0 && q30->operationCount() == 0; }));
  EXPECT_FALSE(q5->isTicking());
  EXPECT_FALSE(q30->isTicking());
  EXPECT_TRUE(q60->isTicking());
  EXPECT_EQ(executing(*q60), 1);
  EXPECT_TRUE(logContains(five, kCancellationLine));
  EXPECT_TRUE(logContains(thirty, kCancellationLine));
  EXPECT_FALSE(logContains(minute, kCancellationLine));

  // Shown again: a tick at once.
  post(QVDockableWindowWillShowNotification);
  ASSERT_TRUE(runUntil([&] { return launches("five") == 2 && launches("thirty") == 2; }));
  EXPECT_TRUE(q5->isTicking());
  EXPECT_TRUE(q30->isTicking());
  EXPECT_EQ(launches("minute"), 1);
}

TEST_F(ShowRunnerTest, SleepStopsTheTimersAndWakeRestartsWithATick) {
  load();
  auto group = manager_->groups()[0];
  auto five = addScripted(group, "five", json::array({{{"hang", true}}}), 5);
  auto hour = addScripted(group, "hour", json::array({{{"hang", true}}}), 3600);
  runner_->start();
  ASSERT_TRUE(runUntil([&] { return launches("five") == 1 && launches("hour") == 1; }));

  postWorkspace(QVWorkspaceWillSleepNotification);
  ASSERT_TRUE(runUntil([&] {
    for (const auto& queue : runner_->timerQueues()) {
      if (queue->isTicking()) return false;
    }
    return true;
  }));
  EXPECT_EQ(executing(*runner_->timerQueueWithInterval(3600)), 1) << "runs under way go on";

  postWorkspace(QVWorkspaceDidWakeNotification);
  ASSERT_TRUE(runUntil([&] { return launches("five") == 2 && launches("hour") == 2; }));
  for (const auto& queue : runner_->timerQueues()) EXPECT_TRUE(queue->isTicking());
  EXPECT_TRUE(logContains(hour, kCancellationLine)) << "the old run was stopped by the restart";

  // Waking while the window is hidden leaves the short intervals stopped until it is shown.
  post(QVDockableWindowDidHideNotification);
  ASSERT_TRUE(runUntil([&] { return !runner_->timerQueueWithInterval(5)->isTicking(); }));
  postWorkspace(QVWorkspaceWillSleepNotification);
  postWorkspace(QVWorkspaceDidWakeNotification);
  ASSERT_TRUE(runUntil([&] { return launches("hour") == 3; }));
  EXPECT_FALSE(runner_->timerQueueWithInterval(5)->isTicking());
  EXPECT_FALSE(runner_->timerQueueWithInterval(30)->isTicking());
  EXPECT_EQ(launches("five"), 2);
  post(QVDockableWindowWillShowNotification);
  ASSERT_TRUE(runUntil([&] { return launches("five") == 3; }));
}

TEST_F(ShowRunnerTest, AnIntervalWithoutModulesRestsUntilAnEditGivesItOne) {
  load();
  auto group = manager_->groups()[0];
  runner_->installAsRunModuleHandler();
  runner_->start();
  auto q300 = runner_->timerQueueWithInterval(300), q600 = runner_->timerQueueWithInterval(600);
  for (const auto& queue : {q300, q600}) {
    EXPECT_TRUE(queue->isResting()) << queue->interval() << ": nothing to run sets no timer";
    EXPECT_TRUE(queue->isTicking()) << queue->interval() << ": resting is not stopped";
  }

  // A module added to the interval runs at once and gives its queue a timer again.
  auto module = addScripted(group, "moved", json::array({finished(true, "one"), finished(true, "two")}), 300);
  ASSERT_TRUE(runUntil([&] { return module->lastResult() != nullptr; }));
  ASSERT_TRUE(runUntil([&] { return !q300->isResting(); }));

  // Moved to another interval by an edit that runs nothing: the save wakes the new queue.
  module->setRefreshInterval(600);
  manager_->save();
  ASSERT_TRUE(runUntil([&] { return !q600->isResting(); }));
  EXPECT_EQ(launches("moved"), 1);

  // The old queue's next tick finds nothing and rests again; a tick of the new one runs the module.
  ASSERT_TRUE(runUntil([&] { return q300->operationCount() == 0; }));
  q300->timerDidFire();
  EXPECT_TRUE(q300->isResting());
  q600->timerDidFire();
  ASSERT_TRUE(runUntil([&] { return launches("moved") == 2; }));
  EXPECT_FALSE(q600->isResting());

  // Hidden, asleep or cancelled is stopped, not resting: changes do not restart the queue then.
  post(QVDockableWindowDidHideNotification);
  postWorkspace(QVWorkspaceWillSleepNotification);
  ASSERT_TRUE(runUntil([&] { return !q300->isTicking(); }));
  module->setRefreshInterval(300);
  manager_->save();
  runFor(0.3);
  EXPECT_FALSE(q300->isTicking());
}

TEST_F(ShowRunnerTest, TheNetworkComingBackRerunsOnlyFailedModules) {
  load();
  auto group = manager_->groups()[0];
  auto good = addScripted(group, "good", json::array({finished(true, "fine")}), 60);
  auto bad = addScripted(group, "bad", json::array({finished(false, "offline")}), 60);
  auto stuck = addScripted(group, "stuck", json::array({{{"hang", true}}}), 60);
  auto other = addScripted(group, "other", json::array({finished(false, "offline too")}), 300);
  runner_->start();
  ASSERT_TRUE(runUntil([&] {
    return good->lastResult() && bad->lastResult() && other->lastResult() && launches("stuck") == 1;
  }));
  EXPECT_FALSE(bad->lastResult()->success());

  auto unreachable = std::make_shared<FakeReachability>(false);
  post(QVReachabilityChangedNotification, unreachable.get(),
       std::shared_ptr<QVNetworkReachability>(unreachable));
  runFor(0.2);
  EXPECT_EQ(launches("bad"), 1) << "nothing happens while the network is away";

  auto reachable = std::make_shared<FakeReachability>(true);
  post(QVReachabilityChangedNotification, reachable.get(), std::shared_ptr<QVNetworkReachability>(reachable));
  ASSERT_TRUE(
      runUntil([&] { return launches("bad") == 2 && launches("stuck") == 2 && launches("other") == 2; }));
  EXPECT_EQ(launches("good"), 1);
  EXPECT_FALSE(logContains(stuck, kCancellationLine)) << "the run still queued is stopped silently";
  EXPECT_TRUE(runUntil([&] { return runner_->timerQueueWithInterval(60)->operationCount() == 1u; }))
      << "the old run of the stuck module is gone, its new one stays";
}

TEST_F(ShowRunnerTest, RunNowOfARunningModuleRestartsItWithoutItsOldResult) {
  load();
  auto group = manager_->groups()[0];
  auto module = addScripted(group, "busy", json::array({finished(true, "first"), {{"hang", true}}}));
  runner_->start();
  ASSERT_TRUE(runUntil([&] { return module->lastResult() != nullptr; }));
  auto queue = runner_->timerQueueWithInterval(5);
  ASSERT_EQ(executing(*queue), 1);

  NotificationCounter resultChanges(QVModuleResultDidChangeNotification);
  runner_->runModule(module);
  EXPECT_EQ(module->lastResult(), nullptr) << "cleared first";
  EXPECT_TRUE(module->isUpdating());
  EXPECT_GE(resultChanges.countFor(module.get()), 1);
  EXPECT_TRUE(logContains(module, "User Initiated Run"));
  EXPECT_TRUE(logContains(module, kCancellationLine));
  ASSERT_TRUE(runUntil([&] { return launches("busy") == 2 && module->lastResult() != nullptr; }));
  EXPECT_EQ(queue->operationCount(), 1u);
}

TEST_F(ShowRunnerTest, RunNowThatCannotRunOnlyLogsWhy) {
  writeScriptedPackage(resources() / "Modules" / "Future.quorvanemodule", "com.example.future", 5,
                       {{"minAppVersion", "99.0"}});
  load();
  auto group = manager_->groups()[0];
  runner_->start();

  auto outside = addScripted(group, "outside", json::array({finished(true, "x")}));
  outside->setRefreshInterval(7);
  runner_->runModule(outside);
  EXPECT_TRUE(logContains(outside, "User Initiated Run"));
  EXPECT_EQ(outside->log()->logLines().size(), 1u);

  auto future = addScripted(group, "future", json::array({finished(true, "x")}), 5, "com.example.future");
  future->setLastResult(std::make_shared<QVModuleResult>(true, platform::Date::now(), "old", std::nullopt));
  runner_->runModule(future);
  EXPECT_TRUE(
      logContains(future, "This module requires Quorvane Dashboard version 99.0. You're running version: "));
  EXPECT_EQ(future->lastResult(), nullptr);

  auto needy = builtIn(*manager_, "com.quorvane.weather")->copy();
  group->addModule(needy, false);
  runner_->runModule(needy);
  EXPECT_TRUE(logContains(needy, "Not running module because it's missing some required fields"));

  runFor(0.3);
  EXPECT_EQ(launches("outside"), 0);
  EXPECT_EQ(launches("future"), 0);
}

TEST_F(ShowRunnerTest, AReadyModuleAddedToAGroupRunsAtOnce) {
  load();
  runner_->installAsRunModuleHandler();
  runner_->start();
  auto group = manager_->groups()[0];
  auto module = builtIn(*manager_, "com.example.scripted")->copy();
  setOption(module, "steps", json::array({finished(true, "added")}).dump());
  setOption(module, "launchLog", launchLogPath("added").string());
  group->addModule(module, false);
  ASSERT_TRUE(runUntil([&] { return module->lastResult() != nullptr; }));
  EXPECT_EQ(module->lastResult()->resultString(), "added");
  EXPECT_TRUE(logContains(module, "User Initiated Run"));
}

TEST_F(ShowRunnerTest, NoModuleProcessOutlivesTheEngine) {
  // A module that ignores TERM: only the KILL after the grace period ends it, and that KILL is a
  // timer of this process. Termination, and the run queues going away, wait until it is gone.
  struct Case {
    std::string name;
    std::function<void()> stop;
  };
  const std::vector<Case> cases = {
      {"terminate",
       [this] {
         post(QVApplicationWillTerminateNotification);
         manager_->applicationWillTerminate();
       }},
      {"the runner and its queues destroyed", [this] { runner_.reset(); }},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    load();
    auto group = manager_->groups()[0];
    const std::string name = "stubborn " + test.name;
    auto module = addScripted(group, name,
                              json::array({{{"ignoreTerm", true}},
                                           {{"line", {{"type", "log"}, {"options", {"ready"}}}}},
                                           {{"hang", true}}}),
                              5);
    runner_->start();
    ASSERT_TRUE(runUntil([&] { return logContains(module, "ready"); }));
    const auto pids = launchedProcesses(name);
    ASSERT_EQ(pids.size(), 1u);
    const auto start = std::chrono::steady_clock::now();
    test.stop();
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // Checked at once: the program may exit right after.
    EXPECT_FALSE(groupHasProcesses(pids[0])) << "the module's process is still running";
    EXPECT_FALSE(platform::processes::processInfo(pids[0])) << "the module's process was not reaped";
    EXPECT_LT(took, 2.0);
    runner_.reset();
    manager_.reset();
  }
}

TEST_F(ShowRunnerTest, OneHungModuleDoesNotStopItsInterval) {
  // The run timeout is max(30 s, the interval); shortened here so that the test is quick.
  QVNodeOperation::setRunTimeoutOverride(platform::Seconds(3.0));
  struct RestoreTimeout {
    ~RestoreTimeout() { QVNodeOperation::setRunTimeoutOverride(std::nullopt); }
  } restore;
  load();
  auto group = manager_->groups()[0];
  auto hung = addScripted(group, "hung", json::array({{{"hang", true}}}), 5);
  auto first = addScripted(group, "first", json::array({finished(true, "one")}), 5);
  auto second = addScripted(group, "second", json::array({finished(true, "two")}), 5);
  runner_->start();
  ASSERT_TRUE(runUntil([&] { return logContains(hung, "timed out"); }, 10));
  EXPECT_TRUE(logContains(hung, "Module timed out after 3 seconds and was stopped"));
  // Before the next tick: a run that timed out is not retried (on a loaded machine Node.js may not
  // even have started it).
  EXPECT_LE(launches("hung"), 1);
  for (pid_t process : launchedProcesses("hung")) {
    EXPECT_TRUE(runUntil([&] { return !groupHasProcesses(process); }));
  }
  // The next ticks find the queue free: the healthy modules keep refreshing.
  EXPECT_TRUE(runUntil([&] { return launches("first") >= 2 && launches("second") >= 2; }, 15));
  EXPECT_EQ(first->lastResult()->resultString(), "one");
  EXPECT_EQ(second->lastResult()->resultString(), "two");
}

TEST_F(ShowRunnerTest, ARunNowDroppedBeforeItStartsLeavesNothingUpdating) {
  // Three runs fill the 5 s queue; the run now of a fourth module waits, and hiding the window stops
  // the queue before it starts.
  load();
  auto group = manager_->groups()[0];
  for (const char* name : {"a", "b", "c"}) addScripted(group, name, json::array({{{"hang", true}}}), 5);
  auto waiting = addScripted(group, "waiting", json::array({finished(true, "done")}), 5);
  runner_->start();
  auto queue = runner_->timerQueueWithInterval(5);
  ASSERT_TRUE(runUntil([&] { return executing(*queue) == 3; }));
  runner_->runModule(waiting);
  EXPECT_TRUE(waiting->isUpdating());
  post(QVDockableWindowDidHideNotification);
  ASSERT_TRUE(runUntil([&] { return queue->operationCount() == 0; }));
  EXPECT_EQ(launches("waiting"), 0);
  EXPECT_FALSE(waiting->isUpdating());
  // What the dashboard shows says so too.
  const fs::path output = supportFolder() / "output.json";
  auto entryOfWaiting = [&]() -> nlohmann::json {
    auto parsed = nlohmann::json::parse(readBytes(output), nullptr, false);
    if (!parsed.is_array()) return nullptr;
    for (const auto& shownGroup : parsed) {
      for (const auto& entry : shownGroup.value("modules", nlohmann::json::array())) {
        if (entry.value("name", "") == "waiting") return entry;
      }
    }
    return nullptr;
  };
  ASSERT_TRUE(runUntil([&] {
    auto entry = entryOfWaiting();
    return entry.is_object() && !entry.contains("updating");
  })) << readBytes(output);
}

}  // namespace
}  // namespace enginetest
