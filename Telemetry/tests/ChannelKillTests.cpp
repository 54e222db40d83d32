#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>
#include <set>

#include "PipelineTestSupport.h"
#include "Telemetry/Internals/Channel/TLChannelGroupDefault.h"
#include "Telemetry/Internals/Storage/TLLogDBStorage.h"
#include "Telemetry/Internals/Util/TLUserDefaults.h"
#include "testing/TelemetryIngestionServer.h"

extern char** environ;

using namespace tltesting;

namespace {

constexpr const char* kAckFdVariable = "QV_TLPIPE_ACK_FD";
constexpr const char* kDataHomeVariable = "QV_TLPIPE_DATA_HOME";
constexpr const char* kRoundVariable = "QV_TLPIPE_ROUND";

// The store of the child: says which log ids it holds, one line each, once SQLite said so. The
// unit hands it the logs that came together in one write (one transaction), so a kill may land
// between such a write's commit and its acknowledgements, never before a log it acknowledged.
class AckingStorage : public TLLogDBStorage {
 public:
  explicit AckingStorage(int fd) : fd_(fd) {}
  std::vector<bool> saveLogs(const std::vector<Item>& items, const std::string& groupId) override {
    auto stored = TLLogDBStorage::saveLogs(items, groupId);
    std::string lines;
    for (std::size_t i = 0; i < items.size(); ++i) {
      if (!stored[i]) continue;
      std::string name = serviceOf(items[i].log);
      lines += name.substr(0, name.find('x')) + "\n";
    }
    if (!lines.empty() && ::write(fd_, lines.data(), lines.size()) < 0) return stored;
    return stored;
  }

 private:
  int fd_;
};

std::shared_ptr<TLAuthTokenContext> freshTokenContext() {
  return std::make_shared<TLAuthTokenContext>(TLUserDefaults::shared(), std::make_shared<TLEncrypter>(),
                                              TLSystemClock());
}

// Runs only as the child of KilledAtRandomEveryAckedLogArrives: stores logs while offline, acking
// each, until it is killed.
TEST(ChannelKillChild, StoresAndAcksUntilKilled) {
  const char* fdText = std::getenv(kAckFdVariable);
  const char* dataHome = std::getenv(kDataHomeVariable);
  if (!fdText || !dataHome) GTEST_SKIP() << "runs as the child of the kill test only";
  setenv("XDG_DATA_HOME", dataHome, 1);
  // Offline from the start: no reachability monitor (the child runs no main queue), a paused sender.
  auto ingestion = TLTelemetryIngestion::make("http://127.0.0.1:9", "KILLED", nullptr);
  ingestion->setAppSecret("secret");
  ingestion->pause();
  auto storage = std::make_shared<AckingStorage>(std::atoi(fdText));
  auto group = TLChannelGroupDefault::initWithIngestion(ingestion, storage, freshTokenContext());
  auto unit = group->addChannelUnitWithConfiguration(
      TLChannelUnitConfiguration::initDefaultConfigurationWithGroupId("Analytics"));
  // Each run names its logs apart from the runs before it.
  const std::string prefix =
      std::string("r") + (std::getenv(kRoundVariable) ? std::getenv(kRoundVariable) : "0") + "-";
  for (int i = 0; i < 1000000; ++i) {
    unit->enqueueItem(testLog(prefix + std::to_string(i), 200), 1);
    if (i % 16 == 0) group->logsDispatchQueue()->sync([] {});
  }
}

class ChannelKillTest : public PipelineTest {};

TEST_F(ChannelKillTest, KilledAtRandomEveryAckedLogArrives) {
  setenv("no_proxy", "127.0.0.1,localhost", 1);
  std::mt19937 random{std::random_device{}()};
  std::set<std::string> acked;
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    std::string fdValue = std::to_string(fds[1]);
    setenv(kAckFdVariable, fdValue.c_str(), 1);
    setenv(kDataHomeVariable, std::getenv("XDG_DATA_HOME"), 1);
    setenv(kRoundVariable, std::to_string(round).c_str(), 1);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::string filter = "--gtest_filter=ChannelKillChild.StoresAndAcksUntilKilled";
    char* argv[] = {const_cast<char*>("/proc/self/exe"), filter.data(), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, "/proc/self/exe", &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    unsetenv(kAckFdVariable);
    unsetenv(kDataHomeVariable);
    unsetenv(kRoundVariable);
    ::close(fds[1]);

    // Kill it after a random number of acknowledgements, somewhere inside its work.
    std::size_t killAfter = std::uniform_int_distribution<std::size_t>(5, 150)(random);
    std::string buffer;
    std::size_t roundAcks = 0;
    char chunk[4096];
    bool killed = false;
    while (true) {
      auto n = ::read(fds[0], chunk, sizeof chunk);
      if (n <= 0) break;
      buffer.append(chunk, static_cast<std::size_t>(n));
      std::size_t newline;
      while ((newline = buffer.find('\n')) != std::string::npos) {
        acked.insert(buffer.substr(0, newline));
        buffer.erase(0, newline + 1);
        ++roundAcks;
      }
      if (!killed && roundAcks >= killAfter) {
        ::kill(pid, SIGKILL);
        killed = true;
      }
    }
    ::close(fds[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(killed) << "the child ended on its own";
    EXPECT_TRUE(WIFSIGNALED(status));
  }
  ASSERT_GE(acked.size(), 10u);

  // After the restart every acknowledged log reaches the service.
  qvtesting::TelemetryIngestionServer server;
  ASSERT_TRUE(server.start());
  auto reference = std::make_shared<TestReachabilityReference>();
  auto ingestion = TLTelemetryIngestion::make(server.baseURL(), "RESTARTED",
                                              TL_Reachability::reachabilityWithReference(reference));
  ingestion->setAppSecret("secret");
  auto storage = std::make_shared<TLLogDBStorage>();
  auto group = TLChannelGroupDefault::initWithIngestion(ingestion, storage, freshTokenContext());
  group->addChannelUnitWithConfiguration(
      TLChannelUnitConfiguration::initDefaultConfigurationWithGroupId("Analytics", 0));
  auto arrived = [&] {
    std::set<std::string> names;
    for (const auto& log : server.allLogs()) {
      auto name = log["services"][0].get<std::string>();
      names.insert(name.substr(0, name.find('x')));
    }
    return names;
  };
  EXPECT_TRUE(waitFor([&] {
    auto names = arrived();
    return std::includes(names.begin(), names.end(), acked.begin(), acked.end());
  })) << acked.size()
      << " acknowledged, " << arrived().size() << " arrived";
  group->logsDispatchQueue()->sync([] {});
}

}  // namespace
