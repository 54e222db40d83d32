#include <gtest/gtest.h>

#include <fstream>

#include "CrashesTestSupport.h"
#include "Telemetry/Internals/Model/TLArchiving.h"
#include "Telemetry/Internals/Util/TLUtility.h"
#include "Telemetry/tests/TelemetryTestSupport.h"
#include "TelemetryCrashes/Internals/Util/TLWrapperExceptionManager.h"
#include "TelemetryCrashes/Model/TLAppleErrorLog.h"
#include "TelemetryCrashes/Model/TLErrorAttachmentLog.h"
#include "TelemetryCrashes/Model/TLErrorReport.h"
#include "TelemetryCrashes/Model/TLHandledErrorLog.h"

using json = nlohmann::ordered_json;

namespace {

const platform::Date kWhen = platform::Date::fromTimeIntervalSince1970(1700000000.999);

std::shared_ptr<TLStackFrame> frame(const std::string& address, const std::string& code) {
  auto f = TLStackFrame::init();
  f->setAddress(address);
  f->setCode(code);
  return f;
}

std::shared_ptr<TLException> exception() {
  auto e = TLException::init();
  e->setType("std::runtime_error");
  e->setMessage("boom");
  e->setWrapperSdkName("none");
  e->setStackTrace("trace");
  e->setFrames(std::vector{frame("0x0000000000401000", "")});
  auto inner = TLException::init();
  inner->setType("inner");
  e->setInnerExceptions(std::vector{inner});
  return e;
}

std::shared_ptr<TLAppleErrorLog> fullCrashLog() {
  auto log = TLAppleErrorLog::init();
  log->setTimestamp(kWhen);
  log->setDevice(crtesting::validDevice());
  log->setSid("session");
  log->setErrorId("8D3E7E4C-7D4B-4A9B-9A3F-3A1C2B4D5E6F");
  log->setProcessId(4242);
  log->setProcessName("quorvane-dashboard");
  log->setParentProcessId(1);
  log->setParentProcessName("systemd");
  log->setErrorThreadId(0);
  log->setFatal(true);
  log->setAppLaunchTimestamp(platform::Date::fromTimeIntervalSince1970(1699999990));
  log->setPrimaryArchitectureId(16777223);
  log->setArchitectureVariantId(3);
  log->setApplicationPath("/opt/quorvane/quorvane-dashboard");
  log->setOsExceptionType("SIGSEGV");
  log->setOsExceptionCode("SEGV_MAPERR");
  log->setOsExceptionAddress("0x0");
  log->setExceptionType("std::runtime_error");
  log->setExceptionReason("boom");
  auto thread = TLThread::init();
  thread->setThreadId(0);
  thread->setFrames(TLThread::Frames{frame("0x0000000000401000", "0x400000 + 4096")});
  thread->setException(exception());
  log->setThreads(std::vector{thread});
  auto binary = TLBinary::init();
  binary->setBinaryId("0123456789abcdef");
  binary->setStartAddress("0x0000000000400000");
  binary->setEndAddress("0x0000000000500000");
  binary->setName("quorvane-dashboard");
  binary->setPath("/opt/quorvane/quorvane-dashboard");
  binary->setPrimaryArchitectureId(16777223);
  binary->setArchitectureVariantId(3);
  log->setBinaries(std::vector{binary});
  log->setRegisters(std::map<std::string, std::string>{{"rip", "0x0000000000401000"}});
  log->setProperties(std::map<std::string, std::string>{{"k", "v"}});
  return log;
}

std::shared_ptr<TLAbstractLog> roundTrip(const std::shared_ptr<TLAbstractLog>& log) {
  return TLUnarchivedObject(TLArchivedData(platform::ArchiveObject(log))).asObjectOfClass<TLAbstractLog>();
}

using ErrorLogModel = crtesting::CrashesTest;

}  // namespace

TEST_F(ErrorLogModel, CrashLogJsonCarriesEveryKeyAndTheExceptionInItsOrder) {
  auto log = fullCrashLog();
  json value = log->serializeToOrderedJson();
  for (const char* key : {"type",
                          "timestamp",
                          "sid",
                          "device",
                          "properties",
                          "id",
                          "processId",
                          "processName",
                          "parentProcessId",
                          "parentProcessName",
                          "errorThreadId",
                          "fatal",
                          "appLaunchTimestamp",
                          "primaryArchitectureId",
                          "architectureVariantId",
                          "applicationPath",
                          "osExceptionType",
                          "osExceptionCode",
                          "osExceptionAddress",
                          "exceptionType",
                          "exceptionReason",
                          "threads",
                          "binaries",
                          "registers"})
    EXPECT_TRUE(value.contains(key)) << key;
  EXPECT_EQ(value["type"], "appleError");
  EXPECT_EQ(value["timestamp"], "2023-11-14T22:13:20.999Z");
  EXPECT_EQ(value["fatal"], true);
  EXPECT_EQ(value["primaryArchitectureId"], 16777223);
  const json& thrown = value["threads"][0]["exception"];
  std::vector<std::string> keys;
  for (const auto& [key, unused] : thrown.items()) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<std::string>{"type", "message", "stackTrace", "wrapperSdkName", "frames",
                                            "innerExceptions"}));
  EXPECT_TRUE(log->isValid());
}

TEST_F(ErrorLogModel, FatalFalseIsWrittenAndUnsetFieldsAreLeftOut) {
  auto log = TLAppleErrorLog::init();
  log->setFatal(false);
  json value = log->serializeToOrderedJson();
  EXPECT_EQ(value["fatal"], false);
  EXPECT_FALSE(value.contains("exceptionReason"));
  EXPECT_FALSE(value.contains("selectorRegisterValue"));
}

TEST_F(ErrorLogModel, ValidityNeedsEachMarkedField) {
  using Clear = void (*)(TLAppleErrorLog&);
  const std::vector<std::pair<const char*, Clear>> table = {
      {"errorId", [](TLAppleErrorLog& l) { l.setErrorId(std::nullopt); }},
      {"processId", [](TLAppleErrorLog& l) { l.setProcessId(std::nullopt); }},
      {"processName", [](TLAppleErrorLog& l) { l.setProcessName(std::nullopt); }},
      {"primaryArchitectureId", [](TLAppleErrorLog& l) { l.setPrimaryArchitectureId(std::nullopt); }},
      {"applicationPath", [](TLAppleErrorLog& l) { l.setApplicationPath(std::nullopt); }},
      {"osExceptionType", [](TLAppleErrorLog& l) { l.setOsExceptionType(std::nullopt); }},
      {"osExceptionCode", [](TLAppleErrorLog& l) { l.setOsExceptionCode(std::nullopt); }},
      {"osExceptionAddress", [](TLAppleErrorLog& l) { l.setOsExceptionAddress(std::nullopt); }},
      {"device", [](TLAppleErrorLog& l) { l.setDevice(nullptr); }},
      {"timestamp", [](TLAppleErrorLog& l) { l.setTimestamp(std::nullopt); }},
  };
  for (const auto& [name, clear] : table) {
    auto log = fullCrashLog();
    clear(*log);
    EXPECT_FALSE(log->isValid()) << name;
  }
}

TEST_F(ErrorLogModel, ArchivesReadBackEqualForEveryLogKind) {
  auto crash = fullCrashLog();
  auto handled = TLHandledErrorLog::init();
  handled->setTimestamp(kWhen);
  handled->setDevice(crtesting::validDevice());
  handled->setErrorId("id");
  handled->setException(exception());
  handled->setProperties(std::map<std::string, std::string>{{"a", "b"}});
  auto attachment = TLErrorAttachmentLog::attachmentWithBinary(platform::Data{0, 1, 2, 0}, "f.bin",
                                                               "application/octet-stream");
  attachment->setErrorId("crash");
  attachment->setTimestamp(kWhen);
  for (const std::shared_ptr<TLAbstractLog>& log :
       std::vector<std::shared_ptr<TLAbstractLog>>{crash, handled, attachment}) {
    auto back = roundTrip(log);
    ASSERT_TRUE(back) << *log->type();
    EXPECT_TRUE(back->isEqual(*log)) << *log->type();
    EXPECT_EQ(back->serializeToOrderedJson(), log->serializeToOrderedJson()) << *log->type();
  }
}

TEST_F(ErrorLogModel, EqualityComparesRecordsByValue) {
  auto a = fullCrashLog();
  auto b = fullCrashLog();
  EXPECT_TRUE(a->isEqual(*b));
  (*b->threads())[0]->frames()->at(0)->setCode("other");
  EXPECT_FALSE(a->isEqual(*b));
  auto handled = TLHandledErrorLog::init();
  EXPECT_FALSE(a->isEqual(*handled));
}

TEST_F(ErrorLogModel, TextAttachmentIsPlainTextInBase64) {
  auto attachment = TLErrorAttachmentLog::attachmentWithText("abc", std::nullopt);
  EXPECT_FALSE(attachment->isValid());
  attachment->setErrorId("crash");
  attachment->setTimestamp(kWhen);
  attachment->setDevice(crtesting::validDevice());
  EXPECT_TRUE(attachment->isValid());
  json value = attachment->serializeToOrderedJson();
  EXPECT_EQ(value["contentType"], "text/plain");
  EXPECT_EQ(value["data"], "YWJj");
  EXPECT_FALSE(value.contains("fileName"));
  EXPECT_EQ(value["type"], "errorAttachment");
  EXPECT_EQ(value["id"].get<std::string>().size(), 36u);
}

TEST_F(ErrorLogModel, HandledErrorValidityDoesNotLookIntoTheException) {
  auto log = TLHandledErrorLog::init();
  log->setTimestamp(kWhen);
  log->setDevice(crtesting::validDevice());
  log->setErrorId("id");
  EXPECT_FALSE(log->isValid());
  log->setException(TLException::init());
  EXPECT_TRUE(log->isValid());
  EXPECT_FALSE(log->exception()->isValid());
}

TEST_F(ErrorLogModel, InvalidUtf8SerialisesWithoutThrowing) {
  auto log = fullCrashLog();
  log->setExceptionReason(std::string("bad \xff\xfe text"));
  log->setProcessName(std::string("\xc3"));
  std::optional<std::string> text;
  EXPECT_NO_THROW(text = log->serializeLogWithPrettyPrinting(false));
  ASSERT_TRUE(text);
  EXPECT_NE(text->find("bad \xef\xbf\xbd"), std::string::npos);
  auto back = roundTrip(log);
  ASSERT_TRUE(back);
}

TEST_F(ErrorLogModel, AppKillIsSigkillInAnyCase) {
  const std::vector<std::pair<std::optional<std::string>, bool>> table = {
      {"SIGKILL", true}, {"sigkill", true}, {"SIGSEGV", false}, {std::nullopt, false}};
  for (const auto& [signal, kill] : table) {
    auto report = TLErrorReport::initWithErrorId("id", "key", signal, std::nullopt, std::nullopt,
                                                 std::nullopt, std::nullopt, nullptr, 1);
    EXPECT_EQ(report->isAppKill(), kill) << signal.value_or("(none)");
  }
}

TEST_F(ErrorLogModel, WrapperRecordsMoveToTheReportOfTheirProcess) {
  auto record = TLWrapperException::init();
  record->setProcessId(77);
  auto model = TLException::init();
  model->setType("Wrapped");
  record->setModelException(model);
  TLWrapperExceptionManager::saveWrapperException(record);
  auto other = TLErrorReport::initWithErrorId("OTHER", "", std::nullopt, std::nullopt, std::nullopt,
                                              std::nullopt, std::nullopt, nullptr, 76);
  auto mine = TLErrorReport::initWithErrorId("MINE", "", std::nullopt, std::nullopt, std::nullopt,
                                             std::nullopt, std::nullopt, nullptr, 77);
  TLWrapperExceptionManager::correlateLastSavedWrapperExceptionToReport({other, mine});
  EXPECT_FALSE(
      TLWrapperExceptionManager::loadWrapperExceptionWithBaseFilename("last_saved_wrapper_exception"));
  EXPECT_FALSE(TLWrapperExceptionManager::loadWrapperExceptionWithBaseFilename("OTHER"));
  auto moved = TLWrapperExceptionManager::loadWrapperExceptionWithBaseFilename("MINE");
  ASSERT_TRUE(moved);
  EXPECT_EQ(moved->modelException()->type(), "Wrapped");
}

TEST_F(ErrorLogModel, CorruptWrapperRecordIsLoggedAndDeleted) {
  tltesting::MessageRecorder recorder;
  const auto path = TLUtility::telemetryDirectoryURL() / TLCrashesUtil::wrapperExceptionsDir() / "BROKEN";
  std::ofstream(path) << "not an archive";
  EXPECT_FALSE(TLWrapperExceptionManager::loadWrapperExceptionWithUUIDString("BROKEN"));
  EXPECT_FALSE(std::filesystem::exists(path));
  auto errors = recorder.texts(TLLogLevelError);
  EXPECT_NE(std::find(errors.begin(), errors.end(),
                      "Could not read exception data stored on disk with file name BROKEN"),
            errors.end());
}
