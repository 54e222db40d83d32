// Launch cost of platform::Task: the parent's CPU time per child, and whether descriptors,
// threads or zombies pile up over many launches.
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>

#include "platform/ProcessTable.h"
#include "platform/Task.h"

namespace {

namespace fs = std::filesystem;

double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

std::size_t countEntries(const char* folder) {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(folder)) ++count;
  return count;
}

// Launches one child and waits for its end report; false when it failed or did not exit 0.
bool runOnce(const std::string& path, const std::vector<std::string>& arguments) {
  std::mutex mutex;
  std::condition_variable ended;
  bool done = false;
  bool success = false;
  auto task = platform::Task::make();
  task->setLaunchPath(path);
  task->setArguments(arguments);
  task->setTerminationHandler([&](const platform::TaskTermination& end) {
    std::lock_guard lock(mutex);
    success = !end.launchFailed() && end.reason == platform::TaskTerminationReason::Exit && end.status == 0;
    done = true;
    ended.notify_one();
  });
  platform::Error error;
  if (!task->launch(&error)) std::fprintf(stderr, "launch failed: %s\n", error.description.c_str());
  std::unique_lock lock(mutex);
  ended.wait(lock, [&] { return done; });
  return success;
}

void measure(const char* label, const std::string& path, const std::vector<std::string>& arguments,
             int count) {
  int failures = 0;
  double cpuBefore = cpuSeconds();
  auto wallBefore = std::chrono::steady_clock::now();
  for (int i = 0; i < count; ++i) {
    if (!runOnce(path, arguments)) ++failures;
  }
  double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();
  double cpu = cpuSeconds() - cpuBefore;
  std::printf("%-22s %6d launches: parent CPU %7.1f us/launch, wall %7.1f us/launch, failures %d\n", label,
              count, cpu / count * 1e6, wall / count * 1e6, failures);
}

void snapshot(const char* label) {
  std::printf("%-22s descriptors %zu, threads %zu, zombie children %zu\n", label,
              countEntries("/proc/self/fd"), countEntries("/proc/self/task"),
              platform::processes::zombieChildren());
}

}  // namespace

int main() {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  std::string node = "/usr/bin/node";
  if (access(node.c_str(), X_OK) != 0) node = "/usr/local/bin/node";

  runOnce("/bin/true", {});  // starts the reactor
  measure("/bin/true", "/bin/true", {}, 1000);
  measure("node -e '' (empty env)", node, {"-e", ""}, 1000);

  snapshot("before 10,000:");
  measure("/bin/true", "/bin/true", {}, 10000);
  snapshot("after 10,000:");
  std::fflush(stdout);
  return 0;
}
