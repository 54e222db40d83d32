#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "engine/QVRunNotifications.h"
#include "platform/NotificationCenter.h"
#include "shell/Reachability.h"
#include "testing/Sandbox.h"

namespace Flags = platform::ReachabilityFlags;

namespace {

// Counts "kReachabilityChangedNotification" and keeps what its object answered.
class NotificationRecorder {
 public:
  NotificationRecorder()
      : token_(platform::NotificationCenter::defaultCenter().addObserverForName(
            QVReachabilityChangedNotification, nullptr, [this](const platform::Notification& notification) {
              auto monitor = notification.objectAs<QVNetworkReachability>();
              answers.push_back(monitor && monitor->isReachable());
              onMainThread.push_back(platform::MainQueue::isMainThread());
            })) {}
  std::vector<bool> answers;
  std::vector<bool> onMainThread;

 private:
  platform::ObserverToken token_;
};

using ReachabilityTest = qvtesting::SandboxTest;

}  // namespace

TEST_F(ReachabilityTest, FlagsReadAsTheRunQueuesExpect) {
  struct Case {
    std::uint32_t flags;
    bool reachable;
    const char* text;
  } cases[] = {
      {0, false, "X- -------"},
      {Flags::kReachable, true, "XR -------"},
      {Flags::kReachable | Flags::kConnectionRequired, true, "XR c------"},
      {Flags::kReachable | Flags::kTransientConnection, true, "XR -t-----"},
      {Flags::kReachable | Flags::kTransientConnection | Flags::kConnectionRequired, false, "XR ct-----"},
      {Flags::kConnectionRequired | Flags::kInterventionRequired, false, "X- c-i----"},
      {Flags::kReachable | Flags::kIsLocalAddress | Flags::kIsDirect | Flags::kConnectionOnTraffic |
           Flags::kConnectionOnDemand,
       true, "XR ---CDld"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(Reachability::isReachableWithFlags(c.flags), c.reachable);
    EXPECT_EQ(Reachability::flagsDescription(c.flags), c.text);
  }
}

TEST_F(ReachabilityTest, ChangeRunsTheBlocksThenPostsOnTheMainThread) {
  NotificationRecorder recorder;
  auto reachability = Reachability::reachabilityWithHostname("example.org");
  std::vector<std::string> calls;
  // Without blocks a change only posts the notification.
  reachability->reachabilityChanged(Flags::kReachable);
  reachability->setReachableBlock([&](const Reachability::Pointer&) { calls.push_back("reachable"); });
  reachability->setUnreachableBlock([&](const Reachability::Pointer&) { calls.push_back("unreachable"); });
  reachability->setReachabilityBlock(
      [&](const Reachability::Pointer&, std::uint32_t flags) { calls.push_back(std::to_string(flags)); });
  // Changes arrive on the monitor's thread.
  std::thread([&] {
    reachability->reachabilityChanged(0);
    reachability->reachabilityChanged(Flags::kReachable | Flags::kTransientConnection);
  }).join();
  EXPECT_EQ(calls, (std::vector<std::string>{"unreachable", "0", "reachable", "3"}));
  ASSERT_TRUE(runUntil([&] { return recorder.answers.size() == 3; }));
  EXPECT_EQ(recorder.onMainThread, (std::vector<bool>{true, true, true}));
}

TEST_F(ReachabilityTest, ConstructorsPickTheirTarget) {
  sockaddr_in6 ipv6{};
  ipv6.sin6_family = AF_INET6;
  sockaddr unknown{};
  unknown.sa_family = AF_UNIX;
  EXPECT_NE(Reachability::reachabilityForInternetConnection(), nullptr);
  EXPECT_NE(Reachability::reachabilityForLocalWiFi(), nullptr);
  EXPECT_NE(Reachability::reachabilityWithAddress(reinterpret_cast<const sockaddr*>(&ipv6)), nullptr);
  EXPECT_EQ(Reachability::reachabilityWithAddress(&unknown), nullptr);
  EXPECT_EQ(Reachability::reachabilityWithAddress(nullptr), nullptr);
  // Unstarted, the flags are read from the kernel at each call.
  auto internet = Reachability::reachabilityForInternetConnection();
  EXPECT_EQ(internet->isReachable(), internet->currentReachabilityStatus() == Reachability::ReachableViaWiFi);
  EXPECT_FALSE(internet->isReachableViaWWAN());
  EXPECT_NE(internet->description().find("<Reachability: 0x"), std::string::npos);
}

TEST_F(ReachabilityTest, StartingTwiceKeepsOneMonitor) {
  auto reachability = Reachability::reachabilityForInternetConnection();
  ASSERT_TRUE(reachability->startNotifier());
  EXPECT_TRUE(reachability->startNotifier());
  ASSERT_TRUE(runUntil([&] { return reachability->isFollowing(); }));
  // While started it keeps itself alive; stopping lets it go.
  std::weak_ptr<Reachability> weak = reachability;
  reachability.reset();
  EXPECT_FALSE(weak.expired());
  weak.lock()->stopNotifier();
  EXPECT_TRUE(weak.expired());
}

namespace {

// Moves the calling thread into a fresh network namespace (with only its loopback link, down) for
// the length of a test, and back afterwards. Needs the administrator's rights.
class NetworkNamespace {
 public:
  NetworkNamespace() {
    original_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (original_ >= 0 && ::unshare(CLONE_NEWNET) == 0) entered_ = true;
  }
  ~NetworkNamespace() {
    if (entered_) {
      EXPECT_EQ(::setns(original_, CLONE_NEWNET), 0);
    }
    if (original_ >= 0) ::close(original_);
  }
  bool entered() const { return entered_; }

 private:
  int original_ = -1;
  bool entered_ = false;
};

bool run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

}  // namespace

TEST_F(ReachabilityTest, DefaultRouteComingAndGoingIsNotified) {
  NetworkNamespace space;
  if (!space.entered()) GTEST_SKIP() << "no network namespace can be made here";
  // A dummy link where the kernel has them; else one end of a pair of virtual links.
  if (!run("ip link add qvtest0 type dummy") && !run("ip link add qvtest0 type veth peer name qvtest1")) {
    GTEST_SKIP() << "no virtual link can be made here";
  }
  run("ip link set qvtest1 up");
  ASSERT_TRUE(run("ip link set qvtest0 up"));
  ASSERT_TRUE(run("ip addr add 10.77.0.2/24 dev qvtest0"));

  NotificationRecorder recorder;
  auto reachability = Reachability::reachabilityForInternetConnection();
  ASSERT_TRUE(reachability->startNotifier());
  ASSERT_TRUE(runUntil([&] { return reachability->isFollowing(); }));
  EXPECT_FALSE(reachability->isReachable());
  EXPECT_EQ(reachability->currentReachabilityString(), "No Connection");

  ASSERT_TRUE(run("ip route add default via 10.77.0.1"));
  ASSERT_TRUE(runUntil([&] { return recorder.answers.size() == 1; }));
  EXPECT_TRUE(recorder.answers.back());
  EXPECT_EQ(reachability->currentReachabilityString(), "WiFi");

  ASSERT_TRUE(run("ip route del default"));
  ASSERT_TRUE(runUntil([&] { return recorder.answers.size() == 2; }));
  EXPECT_FALSE(recorder.answers.back());

  // The link going down takes its routes along, whatever the kernel announces of them.
  ASSERT_TRUE(run("ip route add default via 10.77.0.1"));
  ASSERT_TRUE(runUntil([&] { return recorder.answers.size() == 3; }));
  ASSERT_TRUE(run("ip link set qvtest0 down"));
  ASSERT_TRUE(runUntil([&] { return recorder.answers.size() == 4; }));
  EXPECT_FALSE(recorder.answers.back());
  EXPECT_EQ(recorder.answers, (std::vector<bool>{true, false, true, false}));
  reachability->stopNotifier();
}
