#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "Telemetry/Internals/Util/TL_Reachability.h"
#include "TelemetryTestSupport.h"
#include "platform/Bundle.h"
#include "platform/NotificationCenter.h"
#include "testing/Sandbox.h"

namespace Flags = platform::ReachabilityFlags;

namespace {

// A source of flags driven by the test.
class FakeReference : public TLReachabilityReference {
 public:
  std::optional<std::uint32_t> flags() override {
    std::lock_guard lock(mutex_);
    return current_;
  }
  bool setCallback(Callback callback) override {
    std::lock_guard lock(mutex_);
    callback_ = std::move(callback);
    return callbackAccepted;
  }
  bool schedule() override {
    scheduledOnMainThread = platform::MainQueue::isMainThread();
    ++scheduled;
    return scheduleSucceeds;
  }
  void unschedule() override {
    unscheduledOnMainThread = platform::MainQueue::isMainThread();
    ++unscheduled;
  }
  // The flags change, reported as the system reports them (on any thread).
  void change(std::optional<std::uint32_t> flags) {
    Callback callback;
    {
      std::lock_guard lock(mutex_);
      current_ = flags;
      callback = callback_;
    }
    if (callback) callback();
  }

  bool callbackAccepted = true;
  bool scheduleSucceeds = true;
  std::atomic<int> scheduled{0};
  std::atomic<int> unscheduled{0};
  std::atomic<bool> scheduledOnMainThread{false};
  std::atomic<bool> unscheduledOnMainThread{false};

 private:
  std::mutex mutex_;
  std::optional<std::uint32_t> current_ = Flags::kReachable;
  Callback callback_;
};

// What observers of the notification saw: the status each time, and whether on the main thread.
class Recorder {
 public:
  Recorder()
      : token_(platform::NotificationCenter::defaultCenter().addObserverForName(
            kTLNetworkReachabilityChangedNotification, nullptr, [this](const platform::Notification& n) {
              auto monitor = n.objectAs<TL_Reachability>();
              statuses.push_back(monitor ? std::int64_t{monitor->currentReachabilityStatus()} : -1);
              onMainThread.push_back(platform::MainQueue::isMainThread());
            })) {}
  std::vector<std::int64_t> statuses;
  std::vector<bool> onMainThread;

 private:
  platform::ObserverToken token_;
};

class TLReachabilityTest : public qvtesting::SandboxTest {
 protected:
  // Runs the main queue until everything queued so far has run.
  void drainMainQueue() {
    bool done = false;
    platform::postToMain([&] { done = true; });
    ASSERT_TRUE(runUntil([&] { return done; }));
  }
  // Runs the work on the main thread (the test's thread, while it runs the main queue).
  void onMainThread(const std::function<void()>& work) {
    bool done = false;
    platform::postToMain([&] {
      work();
      done = true;
    });
    ASSERT_TRUE(runUntil([&] { return done; }));
  }
};

}  // namespace

TEST_F(TLReachabilityTest, StatusFromFlags) {
  const std::pair<std::uint32_t, TLNetworkStatus> cases[] = {
      {0, TLNotReachable},
      {2, TLReachable},
      {2 | 4, TLNotReachable},
      {2 | 4 | 8, TLReachable},
      {2 | 4 | 8 | 16, TLNotReachable},
      {2 | 4 | 32, TLReachable},
      {4 | 8, TLNotReachable},
  };
  for (const auto& [flags, status] : cases) {
    EXPECT_EQ(TL_Reachability::networkStatusForFlags(flags), status) << flags;
    auto reference = std::make_shared<FakeReference>();
    reference->change(flags);
    auto monitor = TL_Reachability::reachabilityWithReference(reference);
    EXPECT_EQ(monitor->currentReachabilityStatus(), status) << flags;
    EXPECT_EQ(monitor->connectionRequired(), (flags & 4) != 0) << flags;
  }
  // Flags that cannot be read answer "not reachable".
  auto reference = std::make_shared<FakeReference>();
  reference->change(std::nullopt);
  auto monitor = TL_Reachability::reachabilityWithReference(reference);
  EXPECT_EQ(monitor->currentReachabilityStatus(), TLNotReachable);
  EXPECT_FALSE(monitor->connectionRequired());
}

TEST_F(TLReachabilityTest, StartPostsAtOnceAndChangesArePostedOnTheMainThread) {
  Recorder recorder;
  auto reference = std::make_shared<FakeReference>();
  auto monitor = TL_Reachability::reachabilityWithReference(reference);
  onMainThread([&] {
    monitor->startNotifier();
    // On the main thread the start is done when the call returns, its notification posted.
    EXPECT_EQ(reference->scheduled, 1);
    EXPECT_EQ(recorder.statuses, (std::vector<std::int64_t>{TLReachable}));
  });

  std::thread([&] { reference->change(0); }).join();
  ASSERT_TRUE(runUntil([&] { return recorder.statuses.size() == 2; }));
  EXPECT_EQ(recorder.statuses.back(), TLNotReachable);
  EXPECT_EQ(recorder.onMainThread, (std::vector<bool>{true, true}));

  onMainThread([&] {
    monitor->stopNotifier();
    EXPECT_EQ(reference->unscheduled, 1);
  });
}

TEST_F(TLReachabilityTest, CallsFromOtherThreadsTakeEffectOnTheMainQueue) {
  Recorder recorder;
  auto reference = std::make_shared<FakeReference>();
  auto monitor = TL_Reachability::reachabilityWithReference(reference);
  std::thread([&] { monitor->startNotifier(); }).join();
  // The call returned before the work was done.
  EXPECT_EQ(reference->scheduled, 0);
  EXPECT_TRUE(recorder.statuses.empty());
  ASSERT_TRUE(runUntil([&] { return recorder.statuses.size() == 1; }));
  EXPECT_TRUE(reference->scheduledOnMainThread);

  std::thread([&] { monitor->stopNotifier(); }).join();
  EXPECT_EQ(reference->unscheduled, 0);
  ASSERT_TRUE(runUntil([&] { return reference->unscheduled == 1; }));
  EXPECT_TRUE(reference->unscheduledOnMainThread);

  // Destroyed on another thread, the reference is unscheduled on the main thread afterwards.
  reference->unscheduledOnMainThread = false;
  std::thread([&] { monitor.reset(); }).join();
  ASSERT_TRUE(runUntil([&] { return reference->unscheduled == 2; }));
  EXPECT_TRUE(reference->unscheduledOnMainThread);
}

TEST_F(TLReachabilityTest, FailedStartPostsNothing) {
  for (bool callbackFails : {true, false}) {
    Recorder recorder;
    auto reference = std::make_shared<FakeReference>();
    reference->callbackAccepted = !callbackFails;
    reference->scheduleSucceeds = false;
    auto monitor = TL_Reachability::reachabilityWithReference(reference);
    onMainThread([&] { monitor->startNotifier(); });
    EXPECT_EQ(reference->scheduled, callbackFails ? 0 : 1);
    drainMainQueue();
    EXPECT_TRUE(recorder.statuses.empty());
  }
}

TEST_F(TLReachabilityTest, AQueuedChangeNeverReachesADestroyedMonitor) {
  Recorder recorder;
  auto reference = std::make_shared<FakeReference>();
  auto monitor = TL_Reachability::reachabilityWithReference(reference);
  onMainThread([&] { monitor->startNotifier(); });
  ASSERT_EQ(recorder.statuses.size(), 1u);
  onMainThread([&] {
    // The change is reported on the system's thread and queued to the main thread, where the
    // monitor is destroyed before the queue gets to it.
    std::thread([&] { reference->change(0); }).join();
    monitor.reset();
    EXPECT_EQ(reference->unscheduled, 1);
  });
  drainMainQueue();
  EXPECT_EQ(recorder.statuses.size(), 1u);
  // A late report from the system after the destruction posts nothing either.
  std::thread([&] { reference->change(2); }).join();
  drainMainQueue();
  EXPECT_EQ(recorder.statuses.size(), 1u);
}

TEST_F(TLReachabilityTest, Factories) {
  EXPECT_EQ(TL_Reachability::reachabilityWithHostName(""), nullptr);
  EXPECT_NE(TL_Reachability::reachabilityWithHostName("in.example.org"), nullptr);
  EXPECT_EQ(TL_Reachability::reachabilityWithAddress(nullptr), nullptr);
  EXPECT_EQ(TL_Reachability::reachabilityWithReference(nullptr), nullptr);
  sockaddr_in6 ipv6{};
  ipv6.sin6_family = AF_INET6;
  EXPECT_NE(TL_Reachability::reachabilityWithAddress(reinterpret_cast<const sockaddr*>(&ipv6)), nullptr);
  sockaddr unix{};
  unix.sa_family = AF_UNIX;
  EXPECT_EQ(TL_Reachability::reachabilityWithAddress(&unix), nullptr);

  // Unstarted, the status is read from the kernel at each call: the machine's own picture.
  auto table = platform::NetlinkRouteMonitor::readTable();
  ASSERT_TRUE(table);
  auto internet = TL_Reachability::reachabilityForInternetConnection();
  ASSERT_NE(internet, nullptr);
  EXPECT_EQ(internet->currentReachabilityStatus(),
            TL_Reachability::networkStatusForFlags(
                table->reachabilityFlags(platform::NetlinkRouteTable::Target::Internet)));
}

namespace {

bool run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

constexpr const char* kInsideNamespace = "QV_TL_REACHABILITY_IN_NAMESPACE";

}  // namespace

// Runs itself again under `unshare -rn` (a network namespace of its own, no administrator rights
// needed), where a pair of virtual links gains and loses a default route.
TEST_F(TLReachabilityTest, DefaultRouteComingAndGoingInANamespace) {
  if (!std::getenv(kInsideNamespace)) {
    if (!run("unshare -rn true")) GTEST_SKIP() << "no network namespace can be made here (unshare -rn)";
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string output;
    const int status = tltesting::runCapturing(
        std::string(kInsideNamespace) + "=1 unshare -rn '" + platform::Bundle::executablePath().string() +
            "' --gtest_filter=" + info->test_suite_name() + "." + info->name(),
        &output);
    if (output.find("[  SKIPPED ]") != std::string::npos) GTEST_SKIP() << output;
    EXPECT_EQ(status, 0) << output;
    return;
  }

  if (!run("ip link add tlr0 type veth peer name tlr1")) GTEST_SKIP() << "no virtual link can be made here";
  ASSERT_TRUE(run("ip link set tlr1 up"));
  ASSERT_TRUE(run("ip link set tlr0 up"));
  ASSERT_TRUE(run("ip addr add 10.78.0.2/24 dev tlr0"));

  Recorder recorder;
  auto monitor = TL_Reachability::reachabilityForInternetConnection();
  onMainThread([&] { monitor->startNotifier(); });
  ASSERT_EQ(recorder.statuses, (std::vector<std::int64_t>{TLNotReachable}));

  ASSERT_TRUE(run("ip route add default via 10.78.0.1"));
  ASSERT_TRUE(runUntil([&] { return recorder.statuses.size() == 2; }));
  EXPECT_EQ(recorder.statuses.back(), TLReachable);

  ASSERT_TRUE(run("ip route del default"));
  ASSERT_TRUE(runUntil([&] { return recorder.statuses.size() == 3; }));
  EXPECT_EQ(recorder.statuses.back(), TLNotReachable);

  // The link losing its carrier takes the way out along.
  ASSERT_TRUE(run("ip route add default via 10.78.0.1"));
  ASSERT_TRUE(runUntil([&] { return recorder.statuses.size() == 4; }));
  ASSERT_TRUE(run("ip link set tlr1 down"));
  ASSERT_TRUE(runUntil([&] { return recorder.statuses.size() == 5; }));
  EXPECT_EQ(recorder.statuses.back(), TLNotReachable);
  EXPECT_EQ(recorder.onMainThread, std::vector<bool>(5, true));

  // Destroyed while following: nothing more arrives, whatever the network does next.
  onMainThread([&] { monitor.reset(); });
  ASSERT_TRUE(run("ip link set tlr1 up"));
  drainMainQueue();
  EXPECT_EQ(recorder.statuses.size(), 5u);
}
