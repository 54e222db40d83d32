#pragma once

#include <sqlite3.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Telemetry/Internals/Model/TLDevice.h"
#include "Telemetry/Internals/Model/TLEventSchemaLog.h"
#include "Telemetry/Internals/Model/TLStartServiceLog.h"
#include "Telemetry/Internals/Util/TLUtility.h"
#include "Telemetry/Internals/Util/TL_Reachability.h"
#include "TelemetryTestSupport.h"
#include "platform/SecretStore.h"
#include "testing/Sandbox.h"

namespace tltesting {

// Waits on other threads' work: generous deadlines, as sanitizer builds on two cores are slow.
inline constexpr double kWaitSeconds = 60.0;

// Polls the condition (running the main queue meanwhile) until it holds or the deadline passes.
inline bool waitFor(const std::function<bool()>& condition, double seconds = kWaitSeconds) {
  return qvtesting::runUntil(condition, seconds);
}

inline std::shared_ptr<TLDevice> testDevice() {
  auto device = TLDevice::init();
  device->setSdkName("telemetry.macos");
  device->setSdkVersion("2.5.0");
  device->setOsName("Debian GNU/Linux");
  device->setOsVersion("12");
  device->setLocale("en_GB");
  device->setTimeZoneOffset(0);
  device->setAppVersion("1.0.0");
  device->setAppBuild("1");
  return device;
}

// A valid log whose archive grows with `padding` (its one service name).
inline std::shared_ptr<TLStartServiceLog> testLog(const std::string& name = "Analytics",
                                                  std::size_t padding = 0, double timestamp = 1700000000.0) {
  auto log = TLStartServiceLog::init();
  log->setTimestamp(platform::Date::fromTimeIntervalSince1970(timestamp));
  log->setDevice(testDevice());
  log->setServices(std::vector<std::string>{name + std::string(padding, 'x')});
  return log;
}

inline std::string serviceOf(const std::shared_ptr<TLLog>& log) {
  auto start = std::dynamic_pointer_cast<TLStartServiceLog>(log);
  return start && start->services() && !start->services()->empty() ? start->services()->front() : "";
}

// The storage folder's database file.
inline std::filesystem::path logsFile() { return TLUtility::telemetryDirectoryURL() / "Logs.sqlite"; }

// Runs SQL on a file with a connection of the test's own; rows as text.
inline std::vector<std::vector<std::string>> sql(const std::filesystem::path& file, const std::string& text) {
  sqlite3* db = nullptr;
  std::vector<std::vector<std::string>> rows;
  if (sqlite3_open(file.c_str(), &db) != SQLITE_OK) {
    ADD_FAILURE() << sqlite3_errmsg(db);
    sqlite3_close(db);
    return rows;
  }
  char* error = nullptr;
  auto collect = [](void* out, int count, char** values, char**) {
    auto* rowsOut = static_cast<std::vector<std::vector<std::string>>*>(out);
    std::vector<std::string> row;
    for (int i = 0; i < count; ++i) row.push_back(values[i] ? values[i] : "NULL");
    rowsOut->push_back(std::move(row));
    return 0;
  };
  if (sqlite3_exec(db, text.c_str(), collect, &rows, &error) != SQLITE_OK) {
    ADD_FAILURE() << text << ": " << (error ? error : "");
  }
  sqlite3_free(error);
  sqlite3_close(db);
  return rows;
}

inline std::string sqlValue(const std::filesystem::path& file, const std::string& text) {
  auto rows = sql(file, text);
  return rows.empty() || rows.front().empty() ? "" : rows.front().front();
}

// The network as the test says it is: reachable or not, changed on demand (reported like the
// system's monitor, from any thread).
class TestReachabilityReference : public TLReachabilityReference {
 public:
  std::optional<std::uint32_t> flags() override {
    std::lock_guard lock(mutex_);
    return reachable_ ? platform::ReachabilityFlags::kReachable : 0u;
  }
  bool setCallback(Callback callback) override {
    std::lock_guard lock(mutex_);
    callback_ = std::move(callback);
    return true;
  }
  bool schedule() override { return true; }
  void unschedule() override {}
  void setReachable(bool reachable) {
    Callback callback;
    {
      std::lock_guard lock(mutex_);
      reachable_ = reachable;
      callback = callback_;
    }
    if (callback) callback();
  }

 private:
  std::mutex mutex_;
  bool reachable_ = true;
  Callback callback_;
};

// A sandbox with a memory secret store, so encrypted target tokens never reach a real keyring.
class PipelineTest : public qvtesting::SandboxTest {
 protected:
  void SetUp() override {
    qvtesting::SandboxTest::SetUp();
    previousSecrets_ = platform::SecretStore::shared();
    platform::SecretStore::setShared(platform::SecretStore::memoryStore());
  }
  void TearDown() override {
    platform::SecretStore::setShared(previousSecrets_);
    qvtesting::SandboxTest::TearDown();
  }

 private:
  std::shared_ptr<platform::SecretStore> previousSecrets_;
};

}  // namespace tltesting
