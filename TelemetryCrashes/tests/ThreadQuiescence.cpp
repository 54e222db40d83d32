// Before a test process that ran the SDK exits, its worker threads are left to finish their idle
// exits: the leak checker runs at exit and must not meet threads that are ending meanwhile (the
// sanitizer's thread registry can then deadlock).
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>

#include "CrashesTestSupport.h"

namespace crtesting {

std::atomic<bool> g_sdkThreadsStarted{false};

namespace {

std::set<std::string> threads() {
  std::set<std::string> out;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task", error)) {
    std::ifstream comm(entry.path() / "comm");
    std::string name;
    std::getline(comm, name);
    out.insert(entry.path().filename().string() + ":" + name);
  }
  return out;
}

bool hasIdleExitingWorkers(const std::set<std::string>& names) {
  for (const auto& name : names)
    if (name.find(":com.quorvane.gl") != std::string::npos) return true;
  return false;
}

class ThreadQuiescence : public ::testing::Environment {
 public:
  void TearDown() override {
    if (!g_sdkThreadsStarted.load()) return;
    // Global queue workers end after 5 s without work; wait for them, and for the thread list to hold
    // still for a moment.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(12);
    auto previous = threads();
    int stable = 0;
    while (std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      auto current = threads();
      stable = current == previous ? stable + 1 : 0;
      previous = std::move(current);
      if (!hasIdleExitingWorkers(previous) && stable >= 10) break;
    }
  }
};

[[maybe_unused]] auto* const g_environment = ::testing::AddGlobalTestEnvironment(new ThreadQuiescence);

}  // namespace
}  // namespace crtesting
