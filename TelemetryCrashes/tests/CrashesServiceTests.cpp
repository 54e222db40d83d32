#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>

#include "CrashesTestSupport.h"
#include "ReportBuilder.h"
#include "Telemetry/Internals/Context/TLAuthTokenContext.h"
#include "Telemetry/Internals/Util/TLUserDefaults.h"
#include "Telemetry/Internals/Util/TLUtility.h"
#include "Telemetry/TLTelemetry.h"
#include "Telemetry/tests/TelemetryTestSupport.h"
#include "TelemetryCrashes/Internals/Util/TLWrapperExceptionManager.h"
#include "TelemetryCrashes/TLCrashes.h"
#include "platform/SecretStore.h"
#include "platform/UUID.h"
#include "testing/TelemetryIngestionServer.h"

namespace fs = std::filesystem;
using crtesting::ReportBuilder;
using crtesting::ReportSpec;

namespace {

constexpr const char* kSecret = "0a1b2c3d-4e5f-6a7b-8c9d-0e1f2a3b4c5d";

ReportSpec crashSpec(std::uint8_t uuidByte) {
  ReportSpec spec;
  spec.images = {{0x400000, 0x10000, "/opt/quorvane/crashy", {0xab}}};
  spec.threads = {{0, true, {{0x401234, std::nullopt, 0}}, {{"rip", 0x401234}}}};
  spec.reportUuid[15] = uuidByte;
  return spec;
}

std::string uuidText(std::uint8_t uuidByte) {
  std::array<std::uint8_t, 16> bytes{};
  auto spec = crashSpec(uuidByte);
  std::copy(spec.reportUuid.begin(), spec.reportUuid.end(), bytes.begin());
  return platform::uuidString(bytes);
}

void writeBytes(const fs::path& path, const platform::Data& data) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

// A fresh launch of the SDK in this process, over the sandbox's settings and the loopback service.
// Nothing is armed in the test process: the crash service sees a (simulated) debugger.
class CrashesService : public crtesting::CrashesTest {
 protected:
  void SetUp() override {
    CrashesTest::SetUp();
    crtesting::g_sdkThreadsStarted = true;
    setenv("no_proxy", "127.0.0.1", 1);
    platform::SecretStore::setShared(platform::SecretStore::memoryStore());
    platform::SettingsStore::setStandardUserDefaults(
        platform::SettingsStore::storeWithPath(root() / "settings.plist"));
    ASSERT_TRUE(stub.start());
    TLCrashes::setDebuggerAttachedForTesting(true);
    relaunch();
  }
  void TearDown() override {
    TLTelemetry::resetSharedInstance();
    TLCrashes::resetSharedInstance();
    TLCrashes::setDebuggerAttachedForTesting(std::nullopt);
    stub.stop();
    platform::SecretStore::setShared(nullptr);
    CrashesTest::TearDown();
  }
  // Forgets every shared object, as a new process would start.
  void relaunch() {
    TLTelemetry::resetSharedInstance();
    TLCrashes::resetSharedInstance();
    TLSessionContext::resetSharedInstance();
    TLUserIdContext::resetSharedInstance();
    TLDeviceTracker::resetSharedInstance();
    TLAuthTokenContext::resetSharedInstance();
    TLCrashesUtil::resetDirectory();
    TLTelemetry::setLogUrl(stub.baseURL());
  }
  void start() { TLTelemetry::start(kSecret, {TLServiceClass::of<TLCrashes>()}); }
  fs::path pendingReportPath() { return CRCrashReporter::initWithConfiguration(nullptr)->crashReportPath(); }
  void placePendingReport(std::uint8_t uuidByte) {
    writeBytes(pendingReportPath(), ReportBuilder::bytes(crashSpec(uuidByte)));
  }
  fs::path crashesFolder() { return TLUtility::telemetryDirectoryURL() / "crashes"; }
  std::vector<fs::path> crashFilesOnDisk() {
    std::vector<fs::path> files;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(crashesFolder(), error)) files.push_back(entry.path());
    return files;
  }
  // The ids of the crash logs the service received so far.
  std::vector<std::string> receivedCrashIds() {
    std::vector<std::string> ids;
    for (const auto& log : stub.allLogs())
      if (log.value("type", "") == "appleError") ids.push_back(log.value("id", ""));
    return ids;
  }
  bool waitForCrashIds(std::size_t count, double seconds = 15) {
    return runUntil([&] { return receivedCrashIds().size() >= count; }, seconds);
  }

  qvtesting::TelemetryIngestionServer stub;
};

}  // namespace

namespace {
struct ConsentCase {
  const char* name;
  bool handler;
  bool handlerAnswer;               // true: the application answers later
  std::optional<int> notification;  // the later answer
  bool sent;
  bool fileKept;
};
class CrashesConsent : public CrashesService, public ::testing::WithParamInterface<ConsentCase> {};
}  // namespace

TEST_P(CrashesConsent, PendingReportIsCopiedProcessedAndSentAfterConsent) {
  const ConsentCase& row = GetParam();
  const std::uint8_t uuidByte = 1;
  placePendingReport(uuidByte);
  std::atomic<int> asked{0};
  std::atomic<bool> onMain{false};
  std::atomic<std::size_t> reportCount{0};
  if (row.handler) {
    TLCrashes::setUserConfirmationHandler([&](const std::vector<std::shared_ptr<TLErrorReport>>& reports) {
      onMain = platform::MainQueue::isMainThread();
      reportCount = reports.size();
      ++asked;
      if (row.notification)
        platform::postToMain([answer = *row.notification] { TLCrashes::notifyWithUserConfirmation(answer); });
      return row.handlerAnswer;
    });
  }
  start();
  auto crashes = TLCrashes::sharedInstance();
  EXPECT_TRUE(crashes->didCrashInLastSession());
  ASSERT_TRUE(crashes->getLastSessionCrashReport());
  EXPECT_EQ(crashes->getLastSessionCrashReport()->incidentIdentifier(), uuidText(uuidByte));
  EXPECT_FALSE(fs::exists(pendingReportPath()));
  EXPECT_EQ(crashFilesOnDisk().size(), 1u);
  if (row.handler) {
    ASSERT_TRUE(runUntil([&] { return asked.load() == 1; }));
    EXPECT_TRUE(onMain);
    EXPECT_EQ(reportCount.load(), 1u);
  }
  if (row.sent) {
    ASSERT_TRUE(waitForCrashIds(1));
    EXPECT_EQ(receivedCrashIds(), std::vector<std::string>{uuidText(uuidByte)});
  } else {
    runFor(2.5);
    EXPECT_TRUE(receivedCrashIds().empty());
  }
  EXPECT_EQ(crashFilesOnDisk().size(), row.fileKept ? 1u : 0u);
  EXPECT_EQ(TLUserDefaults::shared()->objectForKey(kTLUserConfirmationKey).has_value(),
            row.notification == 2);
  TLCrashes::setUserConfirmationHandler(nullptr);
}

INSTANTIATE_TEST_SUITE_P(Answers, CrashesConsent,
                         ::testing::Values(ConsentCase{"NoHandler", false, false, std::nullopt, true, false},
                                           ConsentCase{"HandlerSendsAtOnce", true, false, std::nullopt, true,
                                                       false},
                                           ConsentCase{"AnswerSend", true, true, 1, true, false},
                                           ConsentCase{"AnswerDontSend", true, true, 0, false, false},
                                           ConsentCase{"AnswerAlways", true, true, 2, true, false},
                                           ConsentCase{"NoAnswerYet", true, true, std::nullopt, false, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CrashesService, AlwaysSendSkipsTheQuestionAtTheNextCrash) {
  TLUserDefaults::shared()->setObject(platform::PropertyList(true), kTLUserConfirmationKey);
  placePendingReport(7);
  std::atomic<int> asked{0};
  TLCrashes::setUserConfirmationHandler([&](const auto&) {
    ++asked;
    return true;
  });
  start();
  ASSERT_TRUE(waitForCrashIds(1));
  EXPECT_EQ(asked.load(), 0);
}

TEST_F(CrashesService, TwoCrashesWithinOneSecondKeepBothReports) {
  // Copies named for the seconds around now already exist: the new copy must take a name of its own.
  const double now = std::round(platform::Date::now().timeIntervalSinceReferenceDate());
  for (int delta = -1; delta <= 3; ++delta)
    writeBytes(crashesFolder() / fmt::format("{:.0f}", now + delta),
               ReportBuilder::bytes(crashSpec(static_cast<std::uint8_t>(100 + delta))));
  TLCrashes::setUserConfirmationHandler([](const auto&) { return true; });
  placePendingReport(1);
  start();
  relaunch();
  placePendingReport(2);
  std::atomic<std::size_t> asked{0};
  TLCrashes::setUserConfirmationHandler([&](const auto& reports) {
    asked = reports.size();
    platform::postToMain([] { TLCrashes::notifyWithUserConfirmation(1); });
    return true;
  });
  start();
  std::size_t suffixed = 0;
  for (const auto& file : crashFilesOnDisk())
    suffixed += file.filename().string().find('-') != std::string::npos;
  EXPECT_EQ(suffixed, 2u);
  ASSERT_TRUE(waitForCrashIds(7));
  auto ids = receivedCrashIds();
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(std::unique(ids.begin(), ids.end()), ids.end());
  EXPECT_EQ(asked.load(), 7u);
  EXPECT_TRUE(crashFilesOnDisk().empty());
}

TEST_F(CrashesService, AFailedCopyKeepsTheEnginesReportForTheNextStart) {
  tltesting::MessageRecorder recorder;
  fs::remove_all(crashesFolder());
  fs::create_directories(crashesFolder().parent_path());
  std::ofstream(crashesFolder()) << "a file where the folder should be";
  placePendingReport(3);
  start();
  EXPECT_TRUE(fs::exists(pendingReportPath()));
  auto errors = recorder.texts(TLLogLevelError);
  EXPECT_NE(std::find(errors.begin(), errors.end(), "No persisted crashes found."), errors.end());
  runFor(1.5);
  EXPECT_TRUE(receivedCrashIds().empty());

  fs::remove(crashesFolder());
  relaunch();
  start();
  ASSERT_TRUE(waitForCrashIds(1));
  EXPECT_EQ(receivedCrashIds(), std::vector<std::string>{uuidText(3)});
  EXPECT_FALSE(fs::exists(pendingReportPath()));
}

TEST_F(CrashesService, DamagedFilesAreLoggedAndNeverBlockTheStart) {
  tltesting::MessageRecorder recorder;
  const platform::Data good = ReportBuilder::bytes(crashSpec(9));
  writeBytes(crashesFolder() / "100", good);
  writeBytes(crashesFolder() / "101", platform::Data(good.begin(), good.begin() + 20));
  writeBytes(crashesFolder() / "102", platform::Data(TLCrashes::kMaxCrashFileSize + 1, 'c'));
  writeBytes(crashesFolder() / "103",
             platform::Data{'n', 'o', 't', ' ', 'a', ' ', 'r', 'e', 'p', 'o', 'r', 't'});
  writeBytes(crashesFolder() / "104.desc", good);
  writeBytes(crashesFolder() / "105", {});
  // An engine report that is no report at all.
  writeBytes(pendingReportPath(), platform::Data{'j', 'u', 'n', 'k'});
  start();
  EXPECT_FALSE(fs::exists(pendingReportPath()));
  ASSERT_TRUE(waitForCrashIds(1));
  runFor(1.0);
  EXPECT_EQ(receivedCrashIds(), std::vector<std::string>{uuidText(9)});
  std::vector<std::string> left;
  for (const auto& file : crashFilesOnDisk()) left.push_back(file.filename().string());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"104.desc", "105"}));
  auto warnings = recorder.texts(TLLogLevelWarning);
  std::size_t discarded = 0;
  for (const auto& text : warnings)
    discarded += text.rfind("Crash report found but couldn't parse it, discard the crash report: ", 0) == 0;
  EXPECT_EQ(discarded, 3u);
  EXPECT_NE(
      std::find_if(warnings.begin(), warnings.end(),
                   [](const std::string& t) { return t.rfind("Couldn't parse crash report: ", 0) == 0; }),
      warnings.end());
}

TEST_F(CrashesService, AReportWhoseAnalysisDiedIsPurgedUnread) {
  tltesting::MessageRecorder recorder;
  writeBytes(crashesFolder() / "TLCrashes.analyzer", {});
  placePendingReport(4);
  start();
  EXPECT_FALSE(fs::exists(pendingReportPath()));
  EXPECT_FALSE(fs::exists(crashesFolder() / "TLCrashes.analyzer"));
  EXPECT_TRUE(crashFilesOnDisk().empty());
  auto errors = recorder.texts(TLLogLevelError);
  EXPECT_NE(std::find(errors.begin(), errors.end(), "Error on loading the crash report, it will be purged."),
            errors.end());
  // Nothing to process: the wait for the first pass is over at once.
  EXPECT_FALSE(TLCrashes::sharedInstance()->unprocessedCrashReports().has_value());
}

TEST_F(CrashesService, DisablingCleansUpAndEnablingAgainPurgesWhatCameMeanwhile) {
  start();
  auto crashes = TLCrashes::sharedInstance();
  writeBytes(crashesFolder() / "100", ReportBuilder::bytes(crashSpec(5)));
  writeBytes(TLUtility::telemetryDirectoryURL() / "crasheswrapperexceptions" / "x", {1});
  const fs::path buffer = TLUtility::telemetryDirectoryURL() / "crasheslogbuffer" / "3.tlcrasheslogbuffer";
  writeBytes(buffer, {1, 2, 3});
  TLUserDefaults::shared()->setObject(platform::PropertyList(true), kTLAppDidReceiveMemoryWarningKey);
  TLUserDefaults::shared()->setObject(platform::PropertyList(true), kTLUserConfirmationKey);
  crashes->setEnabled(false);
  EXPECT_FALSE(fs::exists(crashesFolder()));
  EXPECT_FALSE(fs::exists(TLUtility::telemetryDirectoryURL() / "crasheswrapperexceptions"));
  EXPECT_EQ(fs::file_size(buffer), 0u);
  EXPECT_FALSE(TLUserDefaults::shared()->objectForKey(kTLAppDidReceiveMemoryWarningKey));
  EXPECT_TRUE(TLUserDefaults::shared()->objectForKey(kTLUserConfirmationKey));
  EXPECT_FALSE(crashes->memoryPressureSource());

  // A crash while disabled is never reported.
  placePendingReport(6);
  crashes->setEnabled(true);
  EXPECT_FALSE(fs::exists(pendingReportPath()));
  runFor(1.5);
  EXPECT_TRUE(receivedCrashIds().empty());
}

TEST_F(CrashesService, MemoryWarningIsReportedAtTheNextStart) {
  start();
  auto source = TLCrashes::sharedInstance()->memoryPressureSource();
  ASSERT_TRUE(source);
  source->injectEvent();
  ASSERT_TRUE(runUntil(
      [] { return TLUserDefaults::shared()->objectForKey(kTLAppDidReceiveMemoryWarningKey).has_value(); }));
  relaunch();
  start();
  EXPECT_TRUE(TLCrashes::hasReceivedMemoryWarningInLastSession());
  EXPECT_FALSE(TLUserDefaults::shared()->objectForKey(kTLAppDidReceiveMemoryWarningKey));
}

TEST_F(CrashesService, HandledErrorsCarryPropertiesOnlyWhenGiven) {
  start();
  auto exception = TLException::init();
  exception->setType("E");
  exception->setFrames(std::vector{TLStackFrame::init()});
  TLCrashes::trackModelException(exception, std::map<std::string, std::string>{});
  TLCrashes::trackModelException(exception, std::map<std::string, std::string>{{"k", "v"}});
  auto handled = [&] {
    std::vector<nlohmann::json> logs;
    for (const auto& log : stub.allLogs())
      if (log.value("type", "") == "handledError") logs.push_back(log);
    return logs;
  };
  ASSERT_TRUE(runUntil([&] { return handled().size() == 2; }, 15));
  std::size_t withProperties = 0;
  for (const auto& log : handled()) withProperties += log.contains("properties");
  EXPECT_EQ(withProperties, 1u);
  TLCrashes::sharedInstance()->setEnabled(false);
  TLCrashes::trackModelException(exception);
  runFor(1.5);
  EXPECT_EQ(handled().size(), 2u);
}

TEST_F(CrashesService, WithADebuggerNothingIsArmedAndArmingHappensOnce) {
  tltesting::MessageRecorder recorder;
  start();
  auto crashes = TLCrashes::sharedInstance();
  ASSERT_TRUE(crashes->crCrashReporter());
  EXPECT_FALSE(crashes->crCrashReporter()->isEnabled());
  auto warnings = recorder.texts(TLLogLevelWarning);
  EXPECT_NE(std::find(warnings.begin(), warnings.end(),
                      "Detecting crashes is NOT enabled due to running the app with a debugger attached."),
            warnings.end());
  // After the first enabling the handler type is fixed.
  TLCrashes::disableMachExceptionHandler();
  crashes->setEnabled(false);
  crashes->setEnabled(true);
  auto debug = recorder.texts(TLLogLevelDebug);
  EXPECT_NE(std::find(debug.begin(), debug.end(), "Already configured CRCrashReporter."), debug.end());
}

TEST_F(CrashesService, WrapperExceptionGoesToTheReportOfItsProcess) {
  auto record = TLWrapperException::init();
  record->setProcessId(4321);  // the hand-built reports' process
  auto model = TLException::init();
  model->setType("Wrapped");
  record->setModelException(model);
  TLWrapperExceptionManager::saveWrapperException(record);
  placePendingReport(8);
  start();
  ASSERT_TRUE(waitForCrashIds(1));
  for (const auto& log : stub.allLogs()) {
    if (log.value("type", "") != "appleError") continue;
    ASSERT_TRUE(log.contains("exception"));
    EXPECT_EQ(log["exception"]["type"], "Wrapped");
  }
  EXPECT_FALSE(fs::exists(TLUtility::telemetryDirectoryURL() / "crasheswrapperexceptions" /
                          "last_saved_wrapper_exception"));
}
