// Many browsers waiting on "/listen", one result change: how long until every one of them has its
// answer, and what the waits cost the server in threads and memory.
//
//   qv_bench_dashboard_listen [clients] [rounds]
//
// Runs the real sharing helper over a module manager in a temporary folder, with the clients in this
// process on loopback (one thread polling all their sockets). Prints per round the median, p99 and
// maximum time from the change to each complete answer, and the process's threads and resident
// memory before the clients connect, while they all wait, and after they were answered.

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/QVDashboardGroup.h"
#include "engine/QVDashboardModule.h"
#include "engine/QVDashboardModuleManager.h"
#include "engine/QVModuleResult.h"
#include "httpserver/dashboard/QVServerHelper.h"
#include "httpserver/dashboard/QVServerSettings.h"
#include "platform/AsioMainQueue.h"
#include "platform/SettingsStore.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

std::size_t threadCount() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/task")) ++count;
  return count;
}

// Resident memory in KiB.
long residentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return 0;
}

int connectTo(std::uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

double percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  std::size_t index = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(index, values.size() - 1)];
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t clients = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1000;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;

  // Each client holds two descriptors here (its socket and the server's end).
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = std::max<rlim_t>(limit.rlim_cur, std::min<rlim_t>(limit.rlim_max, 2 * clients + 256));
  ::setrlimit(RLIMIT_NOFILE, &limit);

  // Everything in a temporary folder: no user file is touched.
  char folderTemplate[] = "/tmp/qv-listen-bench-XXXXXX";
  fs::path folder = ::mkdtemp(folderTemplate);
  for (const char* name :
       {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR", "TMPDIR"}) {
    fs::create_directories(folder / name);
    ::setenv(name, (folder / name).c_str(), 1);
  }
  auto mainQueue = platform::AsioMainQueue::make();
  platform::MainQueue::install(mainQueue);
  platform::SettingsStore::setStandardUserDefaults(platform::SettingsStore::inMemoryStore());

  // One group with one module, whose result changes once per round.
  fs::path package = folder / "Bench.quorvanemodule";
  fs::create_directories(package);
  std::ofstream(package / "package.json")
      << R"({"name": "Bench", "author": "A", "bundleID": "com.example.bench",
                                                 "version": "1", "description": "D"})";
  std::ofstream(package / "main.js") << "\n";
  auto manager = QVDashboardModuleManager::make();
  if (!manager->configure()) {
    std::fprintf(stderr, "the manager did not load\n");
    return 1;
  }
  auto module = QVDashboardModule::moduleWithPath(package.string());
  manager->groups().front()->addModule(module, false);
  mainQueue->runFor(platform::Seconds(0.3));

  QVServerSettings::setServerPort(0);
  auto helper = QVServerHelper::make(manager, std::nullopt);
  helper->setMaximumWaitingRequests(clients);
  helper->start();
  if (!helper->enabled()) {
    std::fprintf(stderr, "the server did not start\n");
    return 1;
  }
  const std::uint16_t port = helper->webServer()->port();

  std::printf("%zu clients waiting on /listen, one result change per round, %d rounds\n", clients, rounds);
  std::printf("%-6s %10s %10s %10s %9s %9s %9s %11s %11s %11s\n", "round", "median ms", "p99 ms", "max ms",
              "threads", "parked", "after", "RSS KiB", "parked KiB", "after KiB");
  std::vector<double> all;
  bool failed = false;
  for (int round = 1; round <= rounds; ++round) {
    mainQueue->runFor(platform::Seconds(0.2));
    const std::size_t threadsBefore = threadCount();
    const long memoryBefore = residentKiB();

    std::vector<int> sockets;
    const std::string request = "GET /listen HTTP/1.1\r\nHost: bench\r\n\r\n";
    for (std::size_t i = 0; i < clients; ++i) {
      int fd = connectTo(port);
      if (fd < 0 ||
          ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
        std::fprintf(stderr, "client %zu could not connect\n", i);
        return 1;
      }
      sockets.push_back(fd);
    }
    if (!mainQueue->runUntil([&] { return helper->waitingRequestCount() == clients; },
                             platform::Seconds(60))) {
      std::fprintf(stderr, "only %zu of %zu clients are waiting\n", helper->waitingRequestCount(), clients);
      return 1;
    }
    const std::size_t threadsParked = threadCount();
    const long memoryParked = residentKiB();

    // The clients' reader: the time at which each answer was complete (the server closes after it).
    std::vector<double> latencies(clients, -1);
    std::atomic<Clock::time_point> changedAt{Clock::time_point::max()};
    std::atomic<bool> readerDone{false};
    std::thread reader([&] {
      std::vector<pollfd> descriptors;
      for (int fd : sockets) descriptors.push_back({fd, POLLIN, 0});
      std::vector<std::size_t> bytes(clients, 0);
      std::size_t open = clients;
      auto deadline = Clock::now() + std::chrono::seconds(60);
      char buffer[16384];
      while (open > 0 && Clock::now() < deadline) {
        if (::poll(descriptors.data(), descriptors.size(), 100) <= 0) continue;
        for (std::size_t i = 0; i < descriptors.size(); ++i) {
          if (descriptors[i].fd < 0 || !(descriptors[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
          ssize_t n = ::recv(descriptors[i].fd, buffer, sizeof buffer, 0);
          if (n > 0) {
            bytes[i] += static_cast<std::size_t>(n);
            continue;
          }
          auto now = Clock::now();
          if (bytes[i] > 0)
            latencies[i] = std::chrono::duration<double, std::milli>(now - changedAt.load()).count();
          descriptors[i].fd = -1;
          --open;
        }
      }
      readerDone = true;
    });

    changedAt = Clock::now();
    nlohmann::json line = {{"type", "finished"},
                           {"options", {{"result", "round " + std::to_string(round)}, {"success", true}}}};
    module->setLastResult(QVModuleResult::resultWithDictionary(line));
    mainQueue->runUntil([&] { return readerDone.load(); }, platform::Seconds(70));
    reader.join();
    for (int fd : sockets) ::close(fd);
    mainQueue->runUntil([&] { return helper->webServer()->activeConnections() == 0; }, platform::Seconds(10));
    const std::size_t threadsAfter = threadCount();
    const long memoryAfter = residentKiB();

    std::vector<double> answered;
    for (double latency : latencies) {
      if (latency >= 0) answered.push_back(latency);
    }
    if (answered.size() != clients) {
      std::fprintf(stderr, "round %d: only %zu of %zu clients were answered\n", round, answered.size(),
                   clients);
      failed = true;
    }
    all.insert(all.end(), answered.begin(), answered.end());
    std::printf("%-6d %10.2f %10.2f %10.2f %9zu %9zu %9zu %11ld %11ld %11ld\n", round,
                percentile(answered, 0.5), percentile(answered, 0.99), percentile(answered, 1.0),
                threadsBefore, threadsParked, threadsAfter, memoryBefore, memoryParked, memoryAfter);
  }
  std::printf("all    %10.2f %10.2f %10.2f  (ms from the change to each complete answer)\n",
              percentile(all, 0.5), percentile(all, 0.99), percentile(all, 1.0));

  helper->stop();
  helper.reset();
  manager.reset();
  platform::SettingsStore::setStandardUserDefaults(nullptr);
  fs::remove_all(folder);
  return failed ? 1 : 0;
}
