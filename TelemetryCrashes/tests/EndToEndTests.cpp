#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include "ChildProcess.h"
#include "CrashesTestSupport.h"
#include "Telemetry/Internals/Channel/TLChannelGroupDefault.h"
#include "Telemetry/Internals/Util/TLUtility.h"
#include "Telemetry/TLTelemetry.h"
#include "Telemetry/tests/TelemetryTestSupport.h"
#include "TelemetryCrashes/Internals/TLCrashesLogBuffer.h"
#include "TelemetryCrashes/TLCrashes.h"
#include "platform/AsioMainQueue.h"
#include "platform/SecretStore.h"
#include "platform/UUID.h"
#include "testing/Sandbox.h"
#include "testing/TelemetryIngestionServer.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kEndToEndSecret = "0a1b2c3d-4e5f-6a7b-8c9d-0e1f2a3b4c5d";

bool inEndToEndChild() { return std::getenv("QV_E2E_CHILD") != nullptr; }

// The child's side of a launch: a main queue, the sandbox's secrets, the SDK with the crash service.
std::shared_ptr<platform::AsioMainQueue> launchChildSdk() {
  auto mainQueue = platform::AsioMainQueue::make();
  platform::MainQueue::install(mainQueue);
  setenv("no_proxy", "127.0.0.1", 1);
  platform::SecretStore::setShared(
      platform::SecretStore::fileStore(fs::path(std::getenv("QV_E2E_ROOT")) / "secrets"));
  TLTelemetry::setLogUrl(std::getenv("QV_E2E_URL"));
  return mainQueue;
}

[[gnu::noinline]] void crashAsAsked(const std::string& mode) {
  if (mode == "cxx-runtime") throw std::runtime_error("end-to-end failure");
  if (mode == "cxx-int") throw 42;
  // A read of address 0, written in assembly so that no sanitizer stops it before the fault.
  int value = 0;
  asm volatile("movl 0, %0" : "=r"(value));
  std::printf("%d\n", value);
}

}  // namespace

// ---- Child side ----

// Run 1: three handled errors wait in the crash-time buffer (the pipeline's queue is held, so none is
// stored), then the process crashes as QV_E2E_MODE says.
TEST(CrashesEndToEndChild, BufferErrorsThenCrash) {
  if (!inEndToEndChild()) GTEST_SKIP();
  auto mainQueue = launchChildSdk();
  const std::string mode = std::getenv("QV_E2E_MODE");
  if (mode == "null-signal") TLCrashes::disableMachExceptionHandler();
  TLTelemetry::start(kEndToEndSecret, {TLServiceClass::of<TLCrashes>()});
  ASSERT_TRUE(TLCrashes::sharedInstance()->crCrashReporter()->isEnabled());
  auto group =
      std::dynamic_pointer_cast<TLChannelGroupDefault>(TLTelemetry::sharedInstance()->channelGroup());
  ASSERT_TRUE(group);
  std::atomic<bool> held{false};
  group->logsDispatchQueue()->async([&held] {
    held = true;
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
  });
  while (!held) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  for (int i = 0; i < 3; ++i) {
    auto exception = TLException::init();
    exception->setType("Handled" + std::to_string(i));
    exception->setFrames(std::vector{TLStackFrame::init()});
    TLCrashes::trackModelException(exception);
  }
  int filled = 0;
  for (int i = 0; i < TLCrashesLogBuffer::kSlotCount; ++i)
    filled += !TLCrashesLogBuffer::slot(i).buffer.empty();
  ASSERT_GE(filled, 3);
  crashAsAsked(mode);
}

// Run 2: the next start, answering the consent question with QV_E2E_ANSWER later; runs until the parent
// creates "stop".
TEST(CrashesEndToEndChild, NextStart) {
  if (!inEndToEndChild()) GTEST_SKIP();
  auto mainQueue = launchChildSdk();
  const int answer = std::atoi(std::getenv("QV_E2E_ANSWER"));
  TLCrashes::setUserConfirmationHandler([answer](const std::vector<std::shared_ptr<TLErrorReport>>& reports) {
    std::fprintf(stderr, "ASKED %zu\n", reports.size());
    platform::postToMain([answer] { TLCrashes::notifyWithUserConfirmation(answer); });
    return true;
  });
  TLTelemetry::start(kEndToEndSecret, {TLServiceClass::of<TLCrashes>()});
  const fs::path stop = fs::path(std::getenv("QV_E2E_ROOT")) / "stop";
  EXPECT_TRUE(mainQueue->runUntil([&] { return fs::exists(stop); }, std::chrono::seconds(60)));
  TLTelemetry::resetSharedInstance();
  TLCrashes::resetSharedInstance();
}

// ---- Parent side ----

namespace {

struct CrashCase {
  const char* mode;
  int signal;
  const char* exceptionType;  // null for a fault
  const char* exceptionMessage;
};

class CrashesEndToEnd : public qvtesting::SandboxTest, public ::testing::WithParamInterface<CrashCase> {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    crtesting::g_sdkThreadsStarted = true;
    setenv("no_proxy", "127.0.0.1", 1);
    ASSERT_TRUE(stub.start());
  }
  void TearDown() override {
    stub.stop();
    SandboxTest::TearDown();
  }
  crtesting::ChildResult child(const std::string& test, std::map<std::string, std::string> environment) {
    environment["QV_E2E_CHILD"] = "1";
    environment["QV_E2E_ROOT"] = root().string();
    environment["QV_E2E_URL"] = stub.baseURL();
    // Under AddressSanitizer the crash engine, not the sanitizer, handles the child's faults.
    environment["ASAN_OPTIONS"] =
        "handle_segv=0:handle_sigbus=0:handle_abort=0:handle_sigill=0:handle_sigfpe=0:allow_user_segv_"
        "handler=1:"
        "use_sigaltstack=0:detect_leaks=0";
    return crtesting::runTestChild(test, environment, root(), {}, [this] { runFor(0.02); });
  }
  qvtesting::TelemetryIngestionServer stub;
};

std::vector<nlohmann::json> logsOfType(const std::vector<nlohmann::json>& logs, const std::string& type) {
  std::vector<nlohmann::json> out;
  for (const auto& log : logs)
    if (log.value("type", "") == type) out.push_back(log);
  return out;
}

}  // namespace

TEST_P(CrashesEndToEnd, CrashThenNextStartSendsTheReportAndTheBufferedErrors) {
  if (inEndToEndChild()) GTEST_SKIP();
  const CrashCase& crash = GetParam();
  auto run1 = child("CrashesEndToEndChild.BufferErrorsThenCrash", {{"QV_E2E_MODE", crash.mode}});
  ASSERT_TRUE(run1.signalled(crash.signal)) << run1.output;

  // The engine's report, for its id.
  auto reporter = CRCrashReporter::initWithConfiguration(CRCrashReporterConfig::defaultConfiguration());
  ASSERT_TRUE(reporter->hasPendingCrashReport()) << run1.output;
  platform::Error error;
  auto report = CRCrashReport::initWithData(*reporter->loadPendingCrashReportData(&error), &error);
  ASSERT_TRUE(report);
  ASSERT_TRUE(report->uuid());
  // Only the exception server (the default) records the fault as an exception; signal handlers (after
  // disableMachExceptionHandler) and aborts do not.
  EXPECT_EQ(report->machExceptionInfo() != nullptr, std::string(crash.mode) == "null-exception-server");
  std::array<std::uint8_t, 16> uuid{};
  std::copy(report->uuid()->begin(), report->uuid()->end(), uuid.begin());
  const std::string reportId = platform::uuidString(uuid);
  const fs::path bufferFolder = root() / "data";

  stub.clear();
  std::thread stopper;
  auto run2 = crtesting::ChildResult();
  {
    // Run 2 ends once the service has all four logs.
    std::atomic<bool> done{false};
    stopper = std::thread([&] {
      for (int i = 0; i < 600 && !done; ++i) {
        const auto logs = stub.allLogs();
        if (logsOfType(logs, "appleError").size() >= 1 && logsOfType(logs, "handledError").size() >= 3) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      std::ofstream(root() / "stop");
    });
    run2 = child("CrashesEndToEndChild.NextStart", {{"QV_E2E_ANSWER", "1"}});
    done = true;
    stopper.join();
  }
  ASSERT_TRUE(run2.exited(0)) << run2.output;
  EXPECT_NE(run2.output.find("ASKED 1"), std::string::npos) << run2.output;

  bool sawLogsPath = false;
  for (const auto& request : stub.requests())
    sawLogsPath =
        sawLogsPath || (request.method == "POST" && request.url.ends_with("/logs?api-version=1.0.0"));
  EXPECT_TRUE(sawLogsPath) << stub.requests().front().url;
  const auto logs = stub.allLogs();
  const auto crashes = logsOfType(logs, "appleError");
  ASSERT_EQ(crashes.size(), 1u);
  const auto& log = crashes[0];
  EXPECT_EQ(log["id"], reportId);
  EXPECT_TRUE(
      std::regex_match(reportId, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}")));
  EXPECT_EQ(log["fatal"], true);
  // The kernel keeps the first 15 characters of a process's name.
  EXPECT_TRUE(fs::read_symlink("/proc/self/exe")
                  .filename()
                  .string()
                  .starts_with(log["processName"].get<std::string>()))
      << log["processName"];
  EXPECT_EQ(log["applicationPath"], fs::read_symlink("/proc/self/exe").string());
  EXPECT_EQ(log["primaryArchitectureId"], 16777223);
  EXPECT_EQ(log["architectureVariantId"], 3);
  EXPECT_TRUE(log["timestamp"].get<std::string>().ends_with(".999Z")) << log["timestamp"];
  EXPECT_EQ(log["registers"].size(), 21u);
  if (crash.exceptionType == nullptr) {
    EXPECT_EQ(log["osExceptionType"], "SIGSEGV");
    EXPECT_EQ(log["osExceptionCode"], "SEGV_MAPERR");
    EXPECT_EQ(log["osExceptionAddress"], "0x0");
  } else {
    EXPECT_EQ(log["osExceptionType"], "SIGABRT");
    EXPECT_EQ(log["exceptionType"], crash.exceptionType);
    EXPECT_EQ(log["exceptionReason"], crash.exceptionMessage);
  }
  const std::regex address("0x[0-9a-f]{16}");
  bool crashedThreadSeen = false;
  for (const auto& thread : log["threads"]) {
    for (const auto& frame : thread["frames"]) {
      EXPECT_TRUE(std::regex_match(frame["address"].get<std::string>(), address)) << frame;
      EXPECT_TRUE(frame.contains("code")) << frame;
    }
    if (thread["id"] == log["errorThreadId"]) {
      crashedThreadSeen = true;
      if (crash.exceptionType != nullptr) {
        ASSERT_TRUE(thread.contains("exception")) << thread;
        EXPECT_EQ(thread["exception"]["type"], crash.exceptionType);
        EXPECT_EQ(thread["exception"]["message"], crash.exceptionMessage);
        EXPECT_FALSE(thread["exception"]["frames"].empty());
      }
    }
  }
  EXPECT_TRUE(crashedThreadSeen);
  std::string notes;
  tltesting::runCapturing("readelf -n " + fs::read_symlink("/proc/self/exe").string(), &notes);
  std::smatch buildId;
  ASSERT_TRUE(std::regex_search(notes, buildId, std::regex("Build ID: ([0-9a-f]+)")));
  // The image's id is the build id's first 16 bytes, as a UUID holds them.
  bool executableListed = false;
  for (const auto& binary : log["binaries"])
    executableListed =
        executableListed || (binary["path"] == log["applicationPath"] &&
                             buildId[1].str().substr(0, 32) == binary["id"].get<std::string>());
  EXPECT_TRUE(executableListed) << log["binaries"];

  std::set<std::string> handledTypes;
  for (const auto& handled : logsOfType(logs, "handledError"))
    handledTypes.insert(handled["exception"]["type"]);
  EXPECT_EQ(handledTypes, (std::set<std::string>{"Handled0", "Handled1", "Handled2"}));

  const fs::path storage = TLUtility::telemetryDirectoryURL();
  for (int i = 0; i < TLCrashesLogBuffer::kSlotCount; ++i) {
    EXPECT_EQ(fs::file_size(storage / "crasheslogbuffer" / (std::to_string(i) + ".tlcrasheslogbuffer")), 0u)
        << i;
    EXPECT_FALSE(fs::exists(storage / "crasheslogbuffer" / (std::to_string(i) + ".targettoken"))) << i;
  }
  std::size_t crashFiles = 0;
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(storage / "crashes", ignored))
    crashFiles += entry.is_regular_file();
  EXPECT_EQ(crashFiles, 0u);
  EXPECT_FALSE(reporter->hasPendingCrashReport());
  (void)bufferFolder;
}

INSTANTIATE_TEST_SUITE_P(Kinds, CrashesEndToEnd,
                         ::testing::Values(CrashCase{"null-exception-server", SIGSEGV, nullptr, nullptr},
                                           CrashCase{"null-signal", SIGSEGV, nullptr, nullptr},
                                           CrashCase{"cxx-runtime", SIGABRT, "std::runtime_error",
                                                     "end-to-end failure"},
                                           CrashCase{"cxx-int", SIGABRT, "int", ""}),
                         [](const auto& info) {
                           std::string name = info.param.mode;
                           for (char& c : name)
                             if (c == '-') c = '_';
                           return name;
                         });
