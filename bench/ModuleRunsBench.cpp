// Module runs through QVNodeOperation against the same script started bare: the parent's CPU time
// per run and the wall-time ratio over 1,000 sequential runs, then descriptors, threads and zombie
// children before and after 10,000 runs on a queue of 3, as the run queues run them.
//
// usage: bench_module_runs [sequential runs (1000)] [queued runs (10000)]
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/QVDashboardModule.h"
#include "engine/QVEngineEnvironment.h"
#include "engine/QVNodeOperation.h"
#include "platform/AsioMainQueue.h"
#include "platform/OperationQueue.h"
#include "platform/ProcessTable.h"
#include "platform/SecretStore.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double wallSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::size_t countEntries(const char* folder) {
  std::size_t count = 0;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) ++count;
  return count;
}

void snapshot(const char* label) {
  std::printf("%-28s descriptors %zu, threads %zu, zombie children %zu\n", label,
              countEntries("/proc/self/fd"), countEntries("/proc/self/task"),
              platform::processes::zombieChildren());
}

// One run of the script as the bare comparison starts it: only NODE_PATH in the environment, output
// read to its end, the child reaped.
bool runBare(const std::string& node, const std::string& script, const std::string& nodePath) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  std::string environment = "NODE_PATH=" + nodePath;
  char* envp[] = {environment.data(), nullptr};
  std::string nodeArgument = node;
  std::string scriptArgument = script;
  char* argv[] = {nodeArgument.data(), scriptArgument.data(), nullptr};
  pid_t pid = 0;
  int err = posix_spawn(&pid, node.c_str(), &actions, nullptr, argv, envp);
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  if (err != 0) {
    ::close(fds[0]);
    return false;
  }
  char buffer[4096];
  std::size_t total = 0;
  for (ssize_t count; (count = ::read(fds[0], buffer, sizeof buffer)) != 0;) {
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) break;
    total += static_cast<std::size_t>(count);
  }
  ::close(fds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return total > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const int sequentialRuns = argc > 1 ? std::atoi(argv[1]) : 1000;
  const int queuedRuns = argc > 2 ? std::atoi(argv[2]) : 10000;

  // Everything the runs write (logs, databases, arguments files) goes to a folder of our own.
  std::string pattern = (fs::temp_directory_path() / "qv-bench-runs-XXXXXX").string();
  if (!mkdtemp(pattern.data())) return 1;
  const fs::path root = pattern;
  for (const char* name :
       {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR", "TMPDIR"}) {
    fs::path folder = root / name;
    fs::create_directories(folder);
    fs::permissions(folder, fs::perms::owner_all, fs::perm_options::replace);
    setenv(name, folder.c_str(), 1);
  }
  platform::SecretStore::setShared(platform::SecretStore::memoryStore());

  const fs::path package = root / "Bench.quorvanemodule";
  fs::create_directories(package);
  std::ofstream(package / "package.json")
      << R"({"name": "Bench", "author": "Q", "bundleID": "com.example.bench", "version": "1", "description": "D"})";
  std::ofstream(package / "main.js")
      << "console.log(JSON.stringify({type: 'finished', options: {result: 'ok', success: true}}));\n";
  auto module = QVDashboardModule::moduleWithPath(package.string());
  if (!module) {
    std::fprintf(stderr, "cannot read the bench module\n");
    return 1;
  }
  const fs::path resources = QVEngineEnvironment::resourceBundle().resourcePath();
  const std::string node = (resources / "node" / "node").string();
  const std::string nodePath = (resources / "node" / "app" / "node_modules").string();

  // The main queue runs on a thread of its own, as the application's event loop does.
  auto mainQueue = platform::AsioMainQueue::make();
  platform::MainQueue::install(mainQueue);
  std::thread mainThread([&] { mainQueue->run(); });

  platform::OperationQueue queue;
  queue.setMaxConcurrentOperationCount(3);
  int failures = 0;
  auto runThroughOperation = [&] {
    auto operation = QVNodeOperation::operationWithModule(module);
    queue.addOperation(operation);
    operation->waitUntilFinished();
    auto result = module->lastResult();
    if (!result || !result->success() || operation->retryCount() != 0) ++failures;
  };

  // Warm-up: starts the reactor, the workers and the page cache.
  for (int i = 0; i < 20; ++i) {
    runThroughOperation();
    runBare(node, (package / "main.js").string(), nodePath);
  }

  // Interleaved in blocks, so that a drift of the machine's load touches both sides alike.
  double operationCpu = 0, operationWall = 0, bareCpu = 0, bareWall = 0;
  int bareFailures = 0;
  const int block = 50;
  for (int done = 0; done < sequentialRuns; done += block) {
    int count = std::min(block, sequentialRuns - done);
    double cpu = cpuSeconds(), wall = wallSeconds();
    for (int i = 0; i < count; ++i) runThroughOperation();
    operationCpu += cpuSeconds() - cpu;
    operationWall += wallSeconds() - wall;
    cpu = cpuSeconds();
    wall = wallSeconds();
    for (int i = 0; i < count; ++i) {
      if (!runBare(node, (package / "main.js").string(), nodePath)) ++bareFailures;
    }
    bareCpu += cpuSeconds() - cpu;
    bareWall += wallSeconds() - wall;
  }
  std::printf("%d sequential runs of a module printing one \"finished\" line\n", sequentialRuns);
  std::printf("  QVNodeOperation: parent CPU %7.1f us/run, wall %6.2f ms/run, failures %d\n",
              operationCpu / sequentialRuns * 1e6, operationWall / sequentialRuns * 1e3, failures);
  std::printf("  bare node:       parent CPU %7.1f us/run, wall %6.2f ms/run, failures %d\n",
              bareCpu / sequentialRuns * 1e6, bareWall / sequentialRuns * 1e3, bareFailures);
  std::printf("  wall-time ratio QVNodeOperation / bare: %.3f\n", operationWall / bareWall);

  snapshot("before queued runs:");
  failures = 0;
  double cpu = cpuSeconds(), wall = wallSeconds();
  std::vector<QVNodeOperation::Pointer> operations;
  for (int done = 0; done < queuedRuns; done += 300) {
    // Batches keep the queue fed without holding every operation at once.
    operations.clear();
    std::vector<std::shared_ptr<platform::Operation>> batch;
    for (int i = 0; i < std::min(300, queuedRuns - done); ++i) {
      auto operation = QVNodeOperation::operationWithModule(module);
      operations.push_back(operation);
      batch.push_back(operation);
    }
    queue.addOperations(batch, true);
    for (const auto& operation : operations) {
      if (operation->retryCount() != 0) ++failures;
    }
  }
  operations.clear();
  cpu = cpuSeconds() - cpu;
  wall = wallSeconds() - wall;
  std::printf("%d runs on a queue of 3: parent CPU %.1f us/run, wall %.2f ms/run, runs retried %d\n",
              queuedRuns, cpu / queuedRuns * 1e6, wall / queuedRuns * 1e3, failures);
  snapshot("after queued runs:");
  // The queue's idle worker threads leave after their idle timeout (5 s).
  std::this_thread::sleep_for(std::chrono::seconds(6));
  snapshot("after 6 s idle:");

  mainQueue->stop();
  mainThread.join();
  platform::MainQueue::install(nullptr);
  module.reset();
  std::error_code ec;
  fs::remove_all(root, ec);
  return failures == 0 ? 0 : 1;
}
