#include <gtest/gtest.h>

#include <random>
#include <thread>
#include <vector>

#include "platform/NotificationCenter.h"
#include "testing/Sandbox.h"

using namespace platform;

namespace {

inline constexpr const char* kDidChange = "QVTestDidChange";
inline constexpr const char* kOther = "QVTestOther";

TEST(NotificationCenter, DeliversByNameAndSender) {
  int senderA = 0;
  int senderB = 0;
  struct Case {
    const char* observedName;
    const void* observedSender;
    const char* postedName;
    const void* postedSender;
    bool delivered;
  } cases[] = {
      {kDidChange, nullptr, kDidChange, &senderA, true},
      {kDidChange, nullptr, kDidChange, nullptr, true},
      {kDidChange, nullptr, kOther, &senderA, false},
      {kDidChange, &senderA, kDidChange, &senderA, true},
      {kDidChange, &senderA, kDidChange, &senderB, false},
      {kDidChange, &senderA, kDidChange, nullptr, false},
      {"", nullptr, kOther, &senderB, true},
      {"", &senderB, kOther, &senderB, true},
      {"", &senderB, kOther, &senderA, false},
  };
  for (const auto& c : cases) {
    NotificationCenter center;
    int calls = 0;
    auto token = center.addObserverForName(c.observedName, c.observedSender, [&](const Notification& n) {
      ++calls;
      EXPECT_EQ(n.name, c.postedName);
      EXPECT_EQ(n.sender, c.postedSender);
    });
    center.postNotificationName(c.postedName, c.postedSender);
    EXPECT_EQ(calls, c.delivered ? 1 : 0)
        << "observing '" << c.observedName << "' posting '" << c.postedName << "'";
  }
}

TEST(NotificationCenter, ObserversReadTheObjectAndUserInfo) {
  struct Module {
    std::string name = "Weather";
  };
  NotificationCenter center;
  auto module = std::make_shared<Module>();
  std::shared_ptr<Module> received;
  std::shared_ptr<int> wrongType;
  nlohmann::json info;
  auto token = center.addObserverForName(kDidChange, module.get(), [&](const Notification& n) {
    received = n.objectAs<Module>();
    wrongType = n.objectAs<int>();
    info = n.userInfo;
  });
  center.postNotificationName(kDidChange, module.get(), module, {{"key", "value"}});
  ASSERT_EQ(received, module);
  EXPECT_EQ(received->name, "Weather");
  EXPECT_EQ(wrongType, nullptr);
  EXPECT_EQ(info["key"], "value");
}

TEST(NotificationCenter, ObserversRunInOrderOnThePostingThread) {
  NotificationCenter center;
  std::vector<int> order;
  std::vector<ObserverToken> tokens;
  auto poster = std::this_thread::get_id();
  for (int i = 0; i < 5; ++i) {
    tokens.push_back(center.addObserverForName(kDidChange, nullptr, [&, i](const Notification&) {
      EXPECT_EQ(std::this_thread::get_id(), poster);
      order.push_back(i);
    }));
  }
  center.postNotificationName(kDidChange);
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
}

TEST(NotificationCenter, DestroyingTheTokenRemovesTheObserver) {
  NotificationCenter center;
  int calls = 0;
  {
    auto token = center.addObserverForName(kDidChange, nullptr, [&](const Notification&) { ++calls; });
    EXPECT_TRUE(token.isConnected());
    EXPECT_EQ(center.observerCount(), 1u);
    center.postNotificationName(kDidChange);
  }
  EXPECT_EQ(center.observerCount(), 0u);
  center.postNotificationName(kDidChange);
  EXPECT_EQ(calls, 1);

  // Moving a token keeps the observer; assigning over one removes the old observer.
  ObserverToken kept = center.addObserverForName(kDidChange, nullptr, [&](const Notification&) { ++calls; });
  ObserverToken moved = std::move(kept);
  center.postNotificationName(kDidChange);
  EXPECT_EQ(calls, 2);
  moved = ObserverToken();
  center.postNotificationName(kDidChange);
  EXPECT_EQ(calls, 2);
}

TEST(NotificationCenter, ObserverRemovedDuringDeliveryIsNotCalledAfterwards) {
  NotificationCenter center;
  std::vector<std::string> calls;
  ObserverToken late;
  ObserverToken first;
  ObserverToken second;
  ObserverToken third;
  first = center.addObserverForName(kDidChange, nullptr, [&](const Notification&) {
    calls.push_back("first");
    second.disconnect();  // later in the same post
    first.disconnect();   // itself, while running
  });
  second =
      center.addObserverForName(kDidChange, nullptr, [&](const Notification&) { calls.push_back("second"); });
  third = center.addObserverForName(kDidChange, nullptr, [&](const Notification&) {
    calls.push_back("third");
    // Added during a post: not called in this one.
    if (!late)
      late = center.addObserverForName(kDidChange, nullptr,
                                       [&](const Notification&) { calls.push_back("late"); });
  });
  center.postNotificationName(kDidChange);
  EXPECT_EQ(calls, (std::vector<std::string>{"first", "third"}));
  calls.clear();
  center.postNotificationName(kDidChange);
  EXPECT_EQ(calls, (std::vector<std::string>{"third", "late"}));
}

TEST(NotificationCenter, ObserversMayPostAndTheCenterMayGoAwayFirst) {
  auto center = std::make_unique<NotificationCenter>();
  int nested = 0;
  auto outer = center->addObserverForName(kDidChange, nullptr,
                                          [&](const Notification&) { center->postNotificationName(kOther); });
  auto inner = center->addObserverForName(kOther, nullptr, [&](const Notification&) { ++nested; });
  center->postNotificationName(kDidChange);
  EXPECT_EQ(nested, 1);
  center.reset();
  EXPECT_FALSE(outer.isConnected());
  outer.disconnect();  // tokens outlive their centre safely
}

TEST(NotificationCenter, SharedCentersAreDistinct) {
  EXPECT_EQ(&NotificationCenter::defaultCenter(), &NotificationCenter::defaultCenter());
  EXPECT_NE(&NotificationCenter::defaultCenter(), &NotificationCenter::workspaceCenter());
  int calls = 0;
  auto token = NotificationCenter::workspaceCenter().addObserverForName(
      kDidChange, nullptr, [&](const Notification&) { ++calls; });
  NotificationCenter::defaultCenter().postNotificationName(kDidChange);
  EXPECT_EQ(calls, 0);
  NotificationCenter::workspaceCenter().postNotificationName(kDidChange);
  EXPECT_EQ(calls, 1);
}

TEST(NotificationCenter, TokensAcrossThreads) {
  // Posters on several threads while others add observers and destroy their tokens. An observer
  // runs only while its owner is alive: its token is destroyed before the owner is freed, so a call
  // after removal would read freed memory (caught by the sanitizer build) or count as late.
  NotificationCenter center;
  std::atomic<bool> stop{false};
  std::atomic<int> late{0};
  std::atomic<long> delivered{0};
  std::vector<std::thread> posters;
  for (int p = 0; p < 3; ++p) {
    posters.emplace_back([&] {
      while (!stop) center.postNotificationName(kDidChange);
    });
  }
  struct Owner {
    std::atomic<bool> removed{false};
    int value = 1;
  };
  std::vector<std::thread> observers;
  for (int t = 0; t < 4; ++t) {
    observers.emplace_back([&, t] {
      std::mt19937 random(t);
      for (int i = 0; i < 300; ++i) {
        auto owner = std::make_unique<Owner>();
        auto token =
            center.addObserverForName(kDidChange, nullptr, [&, raw = owner.get()](const Notification&) {
              if (raw->removed) ++late;
              delivered += raw->value;
            });
        if (random() % 2) std::this_thread::yield();
        // Hand the token to another thread to remove it there.
        std::thread([token = std::move(token)]() mutable { token.disconnect(); }).join();
        owner->removed = true;
        owner.reset();
      }
    });
  }
  for (auto& observer : observers) observer.join();
  stop = true;
  for (auto& poster : posters) poster.join();
  EXPECT_EQ(late.load(), 0);
  EXPECT_EQ(center.observerCount(), 0u);
}

}  // namespace
