#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/Signal.h"

using namespace platform;

namespace {

TEST(Signal, EmitCallsSlotsInOrderWithTheArguments) {
  Signal<const std::string&, int> changed;
  std::vector<std::string> calls;
  auto first = changed.connect(
      [&](const std::string& key, int value) { calls.push_back("1:" + key + std::to_string(value)); });
  auto second = changed.connect(
      [&](const std::string& key, int value) { calls.push_back("2:" + key + std::to_string(value)); });
  EXPECT_EQ(changed.slotCount(), 2u);
  changed.emit("hotKey", 3);
  changed("theme", 4);
  EXPECT_EQ(calls, (std::vector<std::string>{"1:hotKey3", "2:hotKey3", "1:theme4", "2:theme4"}));
}

TEST(Signal, DisconnectInsideASlot) {
  Signal<> signal;
  std::vector<std::string> calls;
  Connection self;
  Connection later;
  self = signal.connect([&] {
    calls.push_back("self");
    self.disconnect();
    later.disconnect();
  });
  later = signal.connect([&] { calls.push_back("later"); });
  auto steady = signal.connect([&] { calls.push_back("steady"); });
  signal.emit();
  EXPECT_EQ(calls, (std::vector<std::string>{"self", "steady"}));
  calls.clear();
  signal.emit();
  EXPECT_EQ(calls, (std::vector<std::string>{"steady"}));
  EXPECT_EQ(signal.slotCount(), 1u);
}

TEST(Signal, ConnectInsideASlotTakesEffectOnTheNextEmit) {
  Signal<int> signal;
  std::vector<int> seen;
  Connection added;
  auto adder = signal.connect([&](int value) {
    if (!added) added = signal.connect([&](int v) { seen.push_back(v * 10); });
    seen.push_back(value);
  });
  signal.emit(1);
  signal.emit(2);
  EXPECT_EQ(seen, (std::vector<int>{1, 2, 20}));
}

TEST(Signal, OwnerMayGoAwayInsideASlotAndTokensOutliveTheSignal) {
  struct Owner {
    Signal<> changed;
  };
  auto owner = std::make_unique<Owner>();
  int after = 0;
  auto destroyer = owner->changed.connect([&] { owner.reset(); });
  auto next = owner->changed.connect([&] { ++after; });
  owner->changed.emit();  // the signal is destroyed during its own emit
  EXPECT_EQ(owner, nullptr);
  EXPECT_EQ(after, 1);
  EXPECT_FALSE(next.isConnected());
}

TEST(Signal, ConnectAndDisconnectFromOtherThreadsWhileEmitting) {
  Signal<int> signal;
  std::atomic<bool> stop{false};
  std::atomic<int> late{0};
  std::vector<std::thread> emitters;
  for (int e = 0; e < 3; ++e) {
    emitters.emplace_back([&] {
      while (!stop) signal.emit(1);
    });
  }
  std::vector<std::thread> connectors;
  for (int t = 0; t < 4; ++t) {
    connectors.emplace_back([&] {
      for (int i = 0; i < 500; ++i) {
        auto disconnected = std::make_unique<std::atomic<bool>>(false);
        auto connection = signal.connect([&late, flag = disconnected.get()](int) {
          if (*flag) ++late;
        });
        connection.disconnect();
        *disconnected = true;
        disconnected.reset();  // a slot still running now would read freed memory
      }
    });
  }
  for (auto& connector : connectors) connector.join();
  stop = true;
  for (auto& emitter : emitters) emitter.join();
  EXPECT_EQ(late.load(), 0);
  EXPECT_EQ(signal.slotCount(), 0u);
}

}  // namespace
