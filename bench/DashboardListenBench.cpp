// Many browsers waiting on "/listen", one change per round: how long until every one of them has
// its answer and, as browsers do, has asked again, and what the waits cost the server in threads
// and memory.
//
//   qv_bench_dashboard_listen [clients] [rounds] [--backlog N]
//
// Runs the real sharing helper over a module manager in a temporary folder, with the clients in this
// process on loopback (one thread polling all their sockets). Each answered client closes its
// connection and at once opens a new one asking "/listen?version=V" with the version it was given,
// so all clients reconnect together after each change. Prints per round the median, p99 and maximum
// time from the change to each complete answer, the time until every client waits again, the
// connections the kernel dropped from the listening queue meanwhile (TcpExt ListenDrops), and the
// process's threads and resident memory before the clients connect, while they all wait, and after
// the round. --backlog sets the listening queue (the helper asks for 511).

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
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

// A connection that does not wait for the handshake: -1 when the socket cannot even be made.
int connectSoon(std::uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 && errno != EINPROGRESS) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Connections the kernel dropped because a listening queue was full, since boot.
long listenDrops() {
  std::ifstream netstat("/proc/net/netstat");
  std::string names, values;
  while (std::getline(netstat, names) && std::getline(netstat, values)) {
    if (names.rfind("TcpExt:", 0) != 0) continue;
    std::istringstream nameFields(names), valueFields(values);
    std::string name, value;
    while (nameFields >> name && valueFields >> value) {
      if (name == "ListenDrops") return std::atol(value.c_str());
    }
  }
  return 0;
}

// One browser: its socket, what it is doing, and what it has read of its answer.
struct Client {
  enum class State { Connecting, Waiting, Done };
  int fd = -1;
  State state = State::Connecting;
  std::string received;
  std::string version;
};

std::string versionOf(const std::string& response) {
  const std::string name = "X-Dashboard-Version: ";
  auto start = response.find(name);
  if (start == std::string::npos) return {};
  start += name.size();
  return response.substr(start, response.find("\r\n", start) - start);
}

double percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  std::size_t index = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(index, values.size() - 1)];
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> positional;
  long backlog = -1;
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--backlog" && i + 1 < argc) {
      backlog = std::atol(argv[++i]);
    } else {
      positional.push_back(argv[i]);
    }
  }
  const std::size_t clients = positional.size() > 0 ? std::strtoul(positional[0].c_str(), nullptr, 10) : 1000;
  int rounds = positional.size() > 1 ? std::atoi(positional[1].c_str()) : 5;

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
  // All clients come from one address: let it hold them all.
  nlohmann::json options = {{WebServerOption_MaxConnections, clients + 64},
                            {WebServerOption_MaxConnectionsPerPeer, clients + 64}};
  if (backlog >= 0) options[WebServerOption_MaxPendingConnections] = backlog;
  helper->setServerOptions(options);
  helper->start();
  if (!helper->enabled()) {
    std::fprintf(stderr, "the server did not start\n");
    return 1;
  }
  const std::uint16_t port = helper->webServer()->port();

  std::printf("%zu clients waiting on /listen, reconnecting after each answer, %d rounds, backlog %s\n",
              clients, rounds, backlog >= 0 ? std::to_string(backlog).c_str() : "of the helper");
  std::printf("%-6s %10s %10s %10s %12s %7s %8s %8s %8s %10s %10s %10s\n", "round", "median ms", "p99 ms",
              "max ms", "all back ms", "drops", "threads", "parked", "after", "RSS KiB", "parked KiB",
              "after KiB");

  // The clients, each asking "/listen" once connected; one thread drives them all.
  std::vector<Client> all(clients);
  auto ask = [&](Client& client) {
    std::string request = "GET /listen";
    if (!client.version.empty()) request += "?version=" + client.version;
    request += " HTTP/1.1\r\nHost: bench\r\n\r\n";
    return ::send(client.fd, request.data(), request.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(request.size());
  };
  auto reconnect = [&](Client& client) {
    if (client.fd >= 0) ::close(client.fd);
    client.fd = connectSoon(port);
    client.state = Client::State::Connecting;
    client.received.clear();
    return client.fd >= 0;
  };
  // Clients start in batches (as browsers arrive over time), so that only the rounds meet the
  // listening queue all at once.
  std::atomic<std::size_t> active{0};

  std::vector<double> everyAnswer;
  bool failed = false;
  std::atomic<Clock::time_point> changedAt{Clock::now()};
  std::vector<double> latencies(clients, -1);
  std::atomic<bool> stopDriving{false};
  // Drives every client: finishes connecting, asks, reads the answer, then reconnects and asks
  // again with the version it was given.
  std::thread driver([&] {
    std::vector<pollfd> descriptors(clients);
    char buffer[16384];
    std::size_t started = 0;
    while (!stopDriving) {
      for (; started < active.load(); ++started) reconnect(all[started]);
      for (std::size_t i = 0; i < clients; ++i) {
        descriptors[i] = {
            all[i].fd, static_cast<short>(all[i].state == Client::State::Connecting ? POLLOUT : POLLIN), 0};
      }
      if (::poll(descriptors.data(), started, 50) <= 0) continue;
      for (std::size_t i = 0; i < started; ++i) {
        auto& client = all[i];
        if (!descriptors[i].revents) continue;
        if (client.state == Client::State::Connecting) {
          int error = 0;
          socklen_t length = sizeof error;
          ::getsockopt(client.fd, SOL_SOCKET, SO_ERROR, &error, &length);
          if (error != 0 || !ask(client)) {
            reconnect(client);
            continue;
          }
          client.state = Client::State::Waiting;
          continue;
        }
        ssize_t n = ::recv(client.fd, buffer, sizeof buffer, 0);
        if (n > 0) {
          client.received.append(buffer, static_cast<std::size_t>(n));
          continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        // The answer is complete (the server closes after it): the browser asks again at once.
        // Only the first answer after the change counts (a slow reconnect can meet a wait's time-out).
        if (!client.received.empty()) {
          if (latencies[i] < 0)
            latencies[i] = std::chrono::duration<double, std::milli>(Clock::now() - changedAt.load()).count();
          client.version = versionOf(client.received);
        }
        reconnect(client);
      }
    }
  });

  auto allWaiting = [&] { return helper->waitingRequestCount() == clients; };
  for (std::size_t batch = 0; batch < clients && !failed; batch += 16) {
    active = std::min(clients, batch + 16);
    failed = !mainQueue->runUntil([&] { return helper->waitingRequestCount() == active.load(); },
                                  platform::Seconds(60));
  }
  if (failed) {
    std::fprintf(stderr, "only %zu of %zu clients are waiting\n", helper->waitingRequestCount(), clients);
    rounds = 0;
  }
  for (int round = 1; round <= rounds; ++round) {
    mainQueue->runFor(platform::Seconds(0.2));
    const std::size_t threadsBefore = threadCount();
    const long memoryBefore = residentKiB();
    const long dropsBefore = listenDrops();
    std::fill(latencies.begin(), latencies.end(), -1);

    changedAt = Clock::now();
    nlohmann::json line = {{"type", "finished"},
                           {"options", {{"result", "round " + std::to_string(round)}, {"success", true}}}};
    module->setLastResult(QVModuleResult::resultWithDictionary(line));
    // Every client answered and waiting again; the wait counts once the answers went out.
    auto answeredAll = [&] {
      return std::all_of(latencies.begin(), latencies.end(), [](double value) { return value >= 0; });
    };
    bool back = mainQueue->runUntil([&] { return answeredAll() && allWaiting(); }, platform::Seconds(300));
    const double allBack = std::chrono::duration<double, std::milli>(Clock::now() - changedAt.load()).count();
    const long drops = listenDrops() - dropsBefore;
    const std::size_t threadsParked = threadCount();
    const long memoryParked = residentKiB();

    std::vector<double> answered;
    for (double latency : latencies) {
      if (latency >= 0) answered.push_back(latency);
    }
    if (!back || answered.size() != clients) {
      std::fprintf(stderr, "round %d: %zu of %zu clients answered, %zu waiting again\n", round,
                   answered.size(), clients, helper->waitingRequestCount());
      failed = true;
    }
    everyAnswer.insert(everyAnswer.end(), answered.begin(), answered.end());
    std::printf("%-6d %10.2f %10.2f %10.2f %12.1f %7ld %8zu %8zu %8zu %10ld %10ld %10ld\n", round,
                percentile(answered, 0.5), percentile(answered, 0.99), percentile(answered, 1.0), allBack,
                drops, threadsBefore, threadsParked, threadCount(), memoryBefore, memoryParked,
                residentKiB());
    std::fflush(stdout);
    if (failed) break;
  }
  std::printf("all    %10.2f %10.2f %10.2f  (ms from the change to each complete answer)\n",
              percentile(everyAnswer, 0.5), percentile(everyAnswer, 0.99), percentile(everyAnswer, 1.0));

  stopDriving = true;
  driver.join();
  for (auto& client : all) {
    if (client.fd >= 0) ::close(client.fd);
  }
  helper->stop();
  mainQueue->runUntil([&] { return !helper->webServer() || helper->webServer()->activeConnections() == 0; },
                      platform::Seconds(10));
  helper.reset();
  manager.reset();
  platform::SettingsStore::setStandardUserDefaults(nullptr);
  fs::remove_all(folder);
  return failed ? 1 : 0;
}
