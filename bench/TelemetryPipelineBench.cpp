// Telemetry pipeline: what the log store, the channel units and the HTTP senders cost. Prints its
// figures; targets:
//   saves    — a log saved through the store (a connection per save) at least 60 % of the rate of bare
//              SQLite (one connection kept open, one row per transaction, the same pragmas);
//   drain    — a full 10 MiB store of 1 KB logs left by an earlier run drains to a loopback service in
//              under 10 s from its first request (the unit's flush timer sends them 3 s after the start);
//   offline  — 50,000 logs at 200/s while offline: RSS grows under 16 MiB, the file keeps its limit,
//              the sender holds no more calls than the pending limit; then the drain time;
//   idle     — a drained pipeline does not wake in 60 s.
// Usage: qv_bench_telemetry_pipeline [saves|drain|offline|idle|enqueue-rss|saves-rss|all] [--quick]
// The files live in a scratch folder below $TMPDIR, removed at the end.
//   --quick (or QV_BENCH_QUICK=1) runs shorter versions: 2,000 offline logs at 1,000/s, a 5 s idle window.
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "BenchScratch.h"
#include "Telemetry/Internals/Channel/TLChannelGroupDefault.h"
#include "Telemetry/Internals/Model/TLArchiving.h"
#include "Telemetry/Internals/Model/TLStartServiceLog.h"
#include "Telemetry/Internals/Storage/TLLogDBStorage.h"
#include "Telemetry/Internals/Util/TLLogger.h"
#include "Telemetry/Internals/Util/TLUserDefaults.h"
#include "Telemetry/Internals/Util/TLUtility.h"
#include "platform/Base64.h"
#include "testing/TelemetryIngestionServer.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

// One device for every log, as the device tracker hands out.
std::shared_ptr<TLDevice> device() {
  static const std::shared_ptr<TLDevice> shared = [] {
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
  }();
  return shared;
}

// A log whose stored (Base64) form has about `size` bytes.
std::shared_ptr<TLStartServiceLog> sizedLog(std::size_t size, int id) {
  auto log = TLStartServiceLog::init();
  log->setTimestamp(platform::Date::now());
  log->setDevice(device());
  log->setServices(std::vector<std::string>{"log-" + std::to_string(id)});
  std::size_t base = platform::base64Encode(TLArchivedData(platform::ArchiveObject(log))).size();
  if (size > base)
    log->setServices(
        std::vector<std::string>{"log-" + std::to_string(id) + std::string((size - base) * 3 / 4, 'x')});
  return log;
}

long rssKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return 0;
}

// Rows in the store, read with a connection of the benchmark's own (the pipeline's queue is busy).
long long storedRows() {
  sqlite3* db = nullptr;
  long long rows = -1;
  if (sqlite3_open((TLUtility::telemetryDirectoryURL() / "Logs.sqlite").c_str(), &db) == SQLITE_OK) {
    sqlite3_busy_timeout(db, 2000);
    sqlite3_stmt* count = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT count(*) FROM logs", -1, &count, nullptr) == SQLITE_OK &&
        sqlite3_step(count) == SQLITE_ROW)
      rows = sqlite3_column_int64(count, 0);
    sqlite3_finalize(count);
  }
  sqlite3_close(db);
  return rows;
}

// Context switches of every thread of the process so far.
long long contextSwitches() {
  long long total = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream status(task.path() / "status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0 || line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
        total += std::stoll(line.substr(line.find(':') + 1));
    }
  }
  return total;
}

std::shared_ptr<TLAuthTokenContext> tokenContext() {
  return std::make_shared<TLAuthTokenContext>(TLUserDefaults::shared(), std::make_shared<TLEncrypter>(),
                                              TLSystemClock());
}

// ---- saves ----

void benchSaves() {
  const int count = 400;
  std::filesystem::remove(TLUtility::telemetryDirectoryURL() / "Logs.sqlite");
  TLLogDBStorage storage;
  std::vector<std::shared_ptr<TLStartServiceLog>> logs;
  for (int i = 0; i < count; ++i) logs.push_back(sizedLog(1000, i));
  auto start = Clock::now();
  for (const auto& log : logs) storage.saveLog(log, "Analytics", 1);
  double ours = count / seconds(start);

  auto barePath = TLUtility::telemetryDirectoryURL() / "Bare.sqlite";
  std::filesystem::remove(barePath);
  sqlite3* db = nullptr;
  sqlite3_open(barePath.c_str(), &db);
  sqlite3_exec(
      db,
      "PRAGMA auto_vacuum = FULL; CREATE TABLE logs (id INTEGER PRIMARY KEY AUTOINCREMENT, groupId TEXT NOT "
      "NULL, log TEXT NOT NULL, targetToken TEXT, targetKey TEXT, priority INTEGER, timestamp INTEGER);"
      "CREATE INDEX ix_logs_priority ON logs (priority); PRAGMA max_page_count = 2560;",
      nullptr, nullptr, nullptr);
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db,
                     "INSERT INTO logs (groupId, log, targetToken, targetKey, priority, timestamp) VALUES "
                     "(?, ?, ?, ?, ?, ?)",
                     -1, &insert, nullptr);
  start = Clock::now();
  for (const auto& log : logs) {
    // The same work per row: the log's stored form, then one transaction.
    std::string text = platform::base64Encode(TLArchivedData(platform::ArchiveObject(log)));
    sqlite3_bind_text(insert, 1, "Analytics", -1, SQLITE_STATIC);
    sqlite3_bind_text(insert, 2, text.c_str(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    sqlite3_bind_null(insert, 3);
    sqlite3_bind_null(insert, 4);
    sqlite3_bind_int64(insert, 5, 1);
    sqlite3_bind_int64(insert, 6, 0);
    sqlite3_step(insert);
    sqlite3_reset(insert);
  }
  double bare = count / seconds(start);
  sqlite3_finalize(insert);
  sqlite3_close(db);
  std::printf("saves: %d logs of 1 KB: store %.0f/s, bare SQLite %.0f/s, ratio %.0f %% (target >= 60 %%)\n",
              count, ours, bare, 100.0 * ours / bare);
}

// Memory held by the store alone over many saves (a diagnostic for the offline figure).
void benchSavesMemory() {
  std::filesystem::remove(TLUtility::telemetryDirectoryURL() / "Logs.sqlite");
  TLLogDBStorage storage;
  long before = rssKiB();
  for (int i = 0; i < 5000; ++i) {
    storage.saveLog(sizedLog(300, i), "Analytics", 1);
    if (i % 1000 == 999)
      std::printf("saves-rss: %d saved, RSS +%.1f MiB\n", i + 1, (rssKiB() - before) / 1024.0);
  }
}

// Fills the store to its 10 MiB limit with ~1 KB logs in one transaction (the fill is not measured).
std::size_t fillStore(std::size_t logSize) {
  auto path = TLUtility::telemetryDirectoryURL() / "Logs.sqlite";
  std::filesystem::remove(path);
  { TLLogDBStorage create; }
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  // Row by row until SQLite refuses (a refused row inside a transaction could undo it all); without
  // syncing, as the fill is not what is measured.
  sqlite3_exec(db, "PRAGMA max_page_count = 2560; PRAGMA synchronous = OFF; PRAGMA journal_mode = MEMORY",
               nullptr, nullptr, nullptr);
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO logs (groupId, log, priority, timestamp) VALUES ('Analytics', ?, 1, 0)",
                     -1, &insert, nullptr);
  std::size_t rows = 0;
  std::string text = platform::base64Encode(TLArchivedData(platform::ArchiveObject(sizedLog(logSize, 0))));
  while (true) {
    sqlite3_bind_text(insert, 1, text.c_str(), static_cast<int>(text.size()), SQLITE_STATIC);
    int result = sqlite3_step(insert);
    sqlite3_reset(insert);
    if (result != SQLITE_DONE) break;
    ++rows;
  }
  sqlite3_finalize(insert);
  sqlite3_close(db);
  return rows;
}

struct Pipeline {
  qvtesting::TelemetryIngestionServer server;
  std::shared_ptr<TLTelemetryIngestion> ingestion;
  std::shared_ptr<TLLogDBStorage> storage;
  std::shared_ptr<TLChannelGroupDefault> group;
  std::shared_ptr<TLChannelUnitProtocol> unit;

  explicit Pipeline(bool online) {
    server.start();
    ingestion = TLTelemetryIngestion::make(server.baseURL(), "BENCH", nullptr);
    ingestion->setAppSecret("secret");
    if (!online) ingestion->pause();
    storage = std::make_shared<TLLogDBStorage>();
    group = TLChannelGroupDefault::initWithIngestion(ingestion, storage, tokenContext());
    unit = group->addChannelUnitWithConfiguration(
        TLChannelUnitConfiguration::initDefaultConfigurationWithGroupId("Analytics"));
  }
  std::uint64_t rows() {
    return group->logsDispatchQueue()->sync([&] { return storage->countLogs().value_or(0); });
  }
  double drain(double limitSeconds) {
    auto start = Clock::now();
    while (rows() > 0 && seconds(start) < limitSeconds)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return seconds(start);
  }
};

void benchDrain() {
  std::size_t rows = fillStore(1000);
  auto size = std::filesystem::file_size(TLUtility::telemetryDirectoryURL() / "Logs.sqlite");
  auto start = Clock::now();
  Pipeline pipeline(true);
  // An earlier run's logs go out with the unit's first flush, when its timer fires; the drain is
  // timed from then.
  while (pipeline.server.requestCount() == 0 && seconds(start) < 60)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  double waited = seconds(start);
  double took = pipeline.drain(120);
  std::printf(
      "drain: %zu logs of 1 KB (%.1f MiB file) sent in %.2f s from the first request (the flush timer fired "
      "%.1f s after the start), %zu requests (target < 10 s)\n",
      rows, static_cast<double>(size) / (1024 * 1024), took, waited, pipeline.server.requestCount());
}

void benchOffline(bool quick) {
  const int count = quick ? 2000 : 50000;
  const double rate = quick ? 1000 : 200;
  const int progress = quick ? 500 : 5000;
  std::filesystem::remove(TLUtility::telemetryDirectoryURL() / "Logs.sqlite");
  Pipeline pipeline(false);
  long rssBefore = rssKiB();
  long rssPeak = rssBefore;
  std::size_t maxFile = 0;
  std::size_t maxHeld = 0;
  auto start = Clock::now();
  for (int i = 0; i < count; ++i) {
    pipeline.unit->enqueueItem(sizedLog(300, i), 1);
    if (i % 100 == 99) {
      rssPeak = std::max(rssPeak, rssKiB());
      maxFile = std::max<std::size_t>(
          maxFile, std::filesystem::file_size(TLUtility::telemetryDirectoryURL() / "Logs.sqlite"));
      maxHeld = std::max(maxHeld, pipeline.ingestion->pendingCallCount());
    }
    if (i % progress == progress - 1)
      std::printf("offline: %d enqueued after %.0f s, %lld rows stored, RSS +%.1f MiB\n", i + 1,
                  seconds(start), storedRows(), static_cast<double>(rssKiB() - rssBefore) / 1024);
    auto due = start + std::chrono::duration<double>((i + 1) / rate);
    std::this_thread::sleep_until(std::chrono::time_point_cast<Clock::duration>(due));
  }
  // Every log enqueued has reached the store (or been refused) once the queue is through.
  std::uint64_t stored = pipeline.rows();
  rssPeak = std::max(rssPeak, rssKiB());
  std::printf(
      "offline: %d logs at %.0f/s in %.1f s: RSS +%.1f MiB (target < 16), file at most %.2f MiB (limit 10), "
      "%zu calls held (limit 3), %llu stored\n",
      count, rate, seconds(start), static_cast<double>(rssPeak - rssBefore) / 1024,
      static_cast<double>(maxFile) / (1024 * 1024), maxHeld, static_cast<unsigned long long>(stored));
  pipeline.ingestion->resume();
  double took = pipeline.drain(300);
  std::printf("offline: back online, %llu logs drained in %.2f s\n", static_cast<unsigned long long>(stored),
              took);
}

void benchIdle(bool quick) {
  const double window = quick ? 5 : 60;
  std::filesystem::remove(TLUtility::telemetryDirectoryURL() / "Logs.sqlite");
  Pipeline pipeline(true);
  for (int i = 0; i < 100; ++i) pipeline.unit->enqueueItem(sizedLog(500, i), 1);
  pipeline.drain(60);
  // Let the queues' idle workers leave first.
  std::this_thread::sleep_for(std::chrono::seconds(6));
  auto before = pipeline.ingestion->sessionWakeUps();
  auto switchesBefore = contextSwitches();
  std::this_thread::sleep_for(std::chrono::duration<double>(window));
  auto switchesAfter = contextSwitches();
  auto after = pipeline.ingestion->sessionWakeUps();
  std::printf(
      "idle: %llu session wake-ups in %.0f s once drained (target 0); %lld context switches of all threads "
      "(the loopback service and this thread's own reads included)\n",
      static_cast<unsigned long long>(after - before), window, switchesAfter - switchesBefore);
}

}  // namespace

int main(int argc, char** argv) {
  std::string what = "all";
  bool quick = std::getenv("QV_BENCH_QUICK") != nullptr;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--quick") {
      quick = true;
    } else {
      what = arg;
    }
  }
  TLLogger::setLogHandler(nullptr);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  qvbench::ScratchHome scratch("tlpipe");
  setenv("no_proxy", "127.0.0.1,localhost", 1);
  if (what == "saves" || what == "all") benchSaves();
  if (what == "saves-rss") benchSavesMemory();
  if (what == "enqueue-rss") {
    std::filesystem::remove(TLUtility::telemetryDirectoryURL() / "Logs.sqlite");
    Pipeline pipeline(false);
    long before = rssKiB();
    for (int i = 0; i < 5000; ++i) {
      pipeline.unit->enqueueItem(sizedLog(300, i), 1);
      if (i % 1000 == 999) {
        pipeline.group->logsDispatchQueue()->sync([] {});
        std::printf("enqueue-rss: %d saved, RSS +%.1f MiB\n", i + 1, (rssKiB() - before) / 1024.0);
      }
    }
  }
  if (what == "drain" || what == "all") benchDrain();
  if (what == "offline" || what == "all") benchOffline(quick);
  if (what == "idle" || what == "all") benchIdle(quick);
  return 0;
}
