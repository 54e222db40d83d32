// Crash service figures:
//  (a) the launch after a crash of a 20-thread process: wall time from starting the SDK with the crash
//      service to the crash log at a loopback service (the service waits 1 s by design before it
//      processes), and the processor time of decoding, formatting, archiving and enqueueing the report;
//  (b) the crash-time writer of the log buffer with 60 slots of 4 KiB each;
//  (c) the size of the crash log's JSON before compression.
// Usage: qv_bench_crash_service [rounds]
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "CRCrashReport.h"
#include "CRCrashReporter.h"
#include "Telemetry/Internals/Channel/TLChannelGroupDefault.h"
#include "Telemetry/Internals/Channel/TLChannelUnitConfiguration.h"
#include "Telemetry/Internals/Model/TLArchiving.h"
#include "Telemetry/Internals/Storage/TLLogDBStorage.h"
#include "Telemetry/Internals/Util/TLLogger.h"
#include "Telemetry/TLTelemetry.h"
#include "TelemetryCrashes/Internals/TLCrashesLogBuffer.h"
#include "TelemetryCrashes/Internals/TLErrorLogFormatter.h"
#include "TelemetryCrashes/Internals/Util/TLCrashesUtil.h"
#include "TelemetryCrashes/TLCrashes.h"
#include "platform/AsioMainQueue.h"
#include "platform/SecretStore.h"
#include "platform/SettingsStore.h"
#include "testing/TelemetryIngestionServer.h"

namespace fs = std::filesystem;

namespace {

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

double threadCpuMs() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

// The crash child's report of a null read with 20 parked threads, `parkDepth` frames deeper than the
// child's own few.
std::optional<platform::Data> crashReportOfTwentyThreads(const fs::path& scratch, int parkDepth) {
  fs::create_directories(scratch);
  std::string cache = "XDG_CACHE_HOME=" + scratch.string();
  std::string tmp = "TMPDIR=" + scratch.string();
  std::string depth = "QV_PARK_DEPTH=" + std::to_string(parkDepth);
  char* env[] = {cache.data(), tmp.data(), depth.data(), nullptr};
  std::string child = QV_CRASH_CHILD;
  std::string mode = "null_read";
  std::string type = "1";
  std::string side = (scratch / "side.txt").string();
  char* argv[] = {child.data(), mode.data(), type.data(), side.data(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, child.c_str(), &actions, nullptr, argv, env);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return std::nullopt;
  int status = 0;
  waitpid(pid, &status, 0);
  for (const auto& entry : fs::recursive_directory_iterator(scratch)) {
    if (entry.path().filename() != "live_report.crcrash") continue;
    std::ifstream in(entry.path(), std::ios::binary);
    return platform::Data(std::istreambuf_iterator<char>(in), {});
  }
  return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
  const fs::path root = fs::temp_directory_path() / ("qv-bench-crash-service-" + std::to_string(getpid()));
  fs::create_directories(root);
  for (const char* name : {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR"})
    setenv(name, (root / name).c_str(), 1);
  setenv("no_proxy", "127.0.0.1", 1);
  TLLogger::setCurrentLogLevel(std::getenv("QV_BENCH_VERBOSE") ? TLLogLevelVerbose : TLLogLevelNone);
  auto mainQueue = platform::AsioMainQueue::make();
  platform::MainQueue::install(mainQueue);
  platform::SecretStore::setShared(platform::SecretStore::memoryStore());
  platform::SettingsStore::setStandardUserDefaults(platform::SettingsStore::inMemoryStore());

  auto report = crashReportOfTwentyThreads(root / "child", 0);
  auto deepReport = crashReportOfTwentyThreads(root / "deep-child", 50);
  if (!report || !deepReport) {
    std::fprintf(stderr, "the crash child left no report\n");
    return 1;
  }
  std::size_t deepJsonBytes = 0;
  {
    platform::Error error;
    auto decoded = CRCrashReport::initWithData(*deepReport, &error);
    if (decoded)
      deepJsonBytes = TLErrorLogFormatter::errorLogFromCrashReport(*decoded)
                          ->serializeLogWithPrettyPrinting(false)
                          .value_or("")
                          .size();
  }

  // (c) and the processor time of (a).
  auto group = TLChannelGroupDefault::initWithIngestion(nullptr, std::make_shared<TLLogDBStorage>());
  auto unit = group->addChannelUnitWithConfiguration(
      TLChannelUnitConfiguration::initWithGroupId("Crashes", 2, 1, 1, 3));
  std::vector<double> cpu;
  std::size_t jsonBytes = 0;
  std::size_t threads = 0;
  for (int i = 0; i < rounds; ++i) {
    const double start = threadCpuMs();
    platform::Error error;
    auto decoded = CRCrashReport::initWithData(*report, &error);
    if (!decoded) {
      std::fprintf(stderr, "report does not decode: %s\n", error.description.c_str());
      return 1;
    }
    auto log = TLErrorLogFormatter::errorLogFromCrashReport(*decoded);
    auto archive = TLArchivedData(platform::ArchiveObject(std::static_pointer_cast<platform::Coding>(log)));
    unit->enqueueItem(log, 2);
    cpu.push_back(threadCpuMs() - start);
    jsonBytes = log->serializeLogWithPrettyPrinting(false).value_or("").size();
    threads = log->threads() ? log->threads()->size() : 0;
    (void)archive;
  }

  // (a) wall time of a launch.
  std::vector<double> wall;
  for (int i = 0; i < std::min(rounds, 5); ++i) {
    // Each launch over folders of its own, so nothing of an earlier round is sent again.
    setenv("XDG_DATA_HOME", (root / ("data-" + std::to_string(i))).c_str(), 1);
    setenv("XDG_CACHE_HOME", (root / ("cache-" + std::to_string(i))).c_str(), 1);
    TLCrashesUtil::resetDirectory();
    qvtesting::TelemetryIngestionServer stub;
    stub.start();
    TLTelemetry::resetSharedInstance();
    TLCrashes::resetSharedInstance();
    TLCrashes::setDebuggerAttachedForTesting(true);
    TLTelemetry::setLogUrl(stub.baseURL());
    auto reporter = CRCrashReporter::initWithConfiguration(CRCrashReporterConfig::defaultConfiguration());
    fs::create_directories(reporter->crashReportPath().parent_path());
    std::ofstream(reporter->crashReportPath(), std::ios::binary)
        .write(reinterpret_cast<const char*>(report->data()), static_cast<std::streamsize>(report->size()));
    const auto start = std::chrono::steady_clock::now();
    TLTelemetry::start("0a1b2c3d-4e5f-6a7b-8c9d-0e1f2a3b4c5d", {TLServiceClass::of<TLCrashes>()});
    bool arrived = mainQueue->runUntil(
        [&] {
          for (const auto& log : stub.allLogs())
            if (log.value("type", "") == "appleError") return true;
          return false;
        },
        std::chrono::seconds(20));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!arrived) {
      std::fprintf(stderr, "the crash log never arrived\n");
      return 1;
    }
    wall.push_back(seconds);
    TLTelemetry::resetSharedInstance();
    TLCrashes::resetSharedInstance();
    stub.stop();
  }

  // (b) the crash-time writer: 60 slots of 4 KiB, without and with encrypted target tokens (this
  // program sends nothing to transmission targets, so its logs carry none).
  const fs::path buffer = root / "buffer";
  fs::create_directories(buffer);
  TLCrashesLogBuffer::setupWithDirectory(buffer.string());
  const platform::Data block(4096, 'x');
  auto writerRounds = [&](const std::string& token) {
    for (int i = 0; i < TLCrashesLogBuffer::kSlotCount; ++i)
      TLCrashesLogBuffer::store(block, token, "id" + std::to_string(i), static_cast<double>(i));
    std::vector<double> times;
    for (int i = 0; i < rounds; ++i) {
      // As at a crash: the files were emptied at the launch (opened with truncation, as the service
      // does) and no token file is left.
      for (const auto& entry : fs::directory_iterator(buffer)) {
        if (entry.path().extension() == ".targettoken") {
          fs::remove(entry.path());
        } else {
          std::ofstream(entry.path(), std::ios::binary | std::ios::trunc);
        }
      }
      const auto start = std::chrono::steady_clock::now();
      TLCrashesLogBuffer::writeAtCrash();
      times.push_back(
          std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    return times;
  };
  const std::vector<double> writer = writerRounds("");
  const std::vector<double> writerWithTokens = writerRounds("encrypted-token");

  std::printf("(a) launch after a 20-thread crash (%zu threads in the report, %zu-byte report):\n", threads,
              report->size());
  std::printf("    enable to crash log at the service: median %.3f s, worst %.3f s (target <= 1.5 s)\n",
              median(wall), *std::max_element(wall.begin(), wall.end()));
  std::printf(
      "    decode + format + archive + enqueue: median %.2f ms CPU, worst %.2f ms (target <= 20 ms)\n",
      median(cpu), *std::max_element(cpu.begin(), cpu.end()));
  std::printf(
      "(b) crash-time writer, 60 slots of 4 KiB: median %.3f ms, worst %.3f ms (target <= 5 ms); with a "
      "token file per slot: median %.3f ms, worst %.3f ms\n",
      median(writer), *std::max_element(writer.begin(), writer.end()), median(writerWithTokens),
      *std::max_element(writerWithTokens.begin(), writerWithTokens.end()));
  std::printf(
      "(c) crash log JSON before gzip: %zu bytes (target <= 65536); with 50 more frames on each parked "
      "thread: %zu bytes\n",
      jsonBytes, deepJsonBytes);
  std::printf("    launch wall times:");
  for (double w : wall) std::printf(" %.3f", w);
  std::printf(" s\n");
  fs::remove_all(root);
  return 0;
}
