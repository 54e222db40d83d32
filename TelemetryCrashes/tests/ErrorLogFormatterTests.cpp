#include <gtest/gtest.h>

#include <cstdlib>

#include "CrashesTestSupport.h"
#include "ReportBuilder.h"
#include "Telemetry/tests/TelemetryTestSupport.h"
#include "TelemetryCrashes/Internals/TLErrorLogFormatter.h"
#include "platform/UUID.h"

using crtesting::FrameSpec;
using crtesting::ImageSpec;
using crtesting::ReportBuilder;
using crtesting::ReportSpec;
using crtesting::ThreadSpec;

namespace {

constexpr std::uint64_t kExeBase = 0x400000;
constexpr std::uint64_t kLibcBase = 0x7f0000000000;
constexpr std::uint64_t kUnusedBase = 0x7f1000000000;

// A crash in the executable: one crashed thread with a frame in the executable and one in libc, a
// second thread, and an image nothing points into.
ReportSpec typicalSpec() {
  ReportSpec spec;
  spec.images = {
      {kExeBase, 0x10000, "/opt/quorvane/crashy", {0xab, 0xcd, 0x01}},
      {kLibcBase, 0x200000, "/usr/lib/x86_64-linux-gnu/libc.so.6", {0x11, 0x22}},
      {kUnusedBase, 0x1000, "/usr/lib/x86_64-linux-gnu/libunused.so", {0x33}},
  };
  spec.threads = {
      {0,
       true,
       {{kExeBase + 0x1234, "main", kExeBase + 0x1200},
        {kLibcBase + 0x29d90, "__libc_start_call_main", kLibcBase + 0x29d00}},
       {{"rip", kExeBase + 0x1234}, {"rsp", 0x7ffc00001000}, {"x1", 0}}},
      {7, false, {{kLibcBase + 0x100, std::nullopt, 0}}, {{"rip", kLibcBase + 0x100}}},
  };
  return spec;
}

using ErrorLogFormatter = crtesting::CrashesTest;

}  // namespace

TEST_F(ErrorLogFormatter, CrashLogFromATypicalReport) {
  auto report = ReportBuilder::report(typicalSpec());
  ASSERT_TRUE(report);
  auto log = TLErrorLogFormatter::errorLogFromCrashReport(*report);
  EXPECT_EQ(log->errorId(), "8D3E7E4C-7D4B-4A9B-9A3F-3A1C2B4D5E6F");
  EXPECT_EQ(log->processId(), 4321);
  EXPECT_EQ(log->processName(), "crashy");
  EXPECT_EQ(log->parentProcessName(), "launcher");
  EXPECT_EQ(log->parentProcessId(), 1);
  EXPECT_EQ(log->applicationPath(), "/opt/quorvane/crashy");
  EXPECT_EQ(log->errorThreadId(), 0);
  EXPECT_TRUE(log->isFatal());
  EXPECT_EQ(log->primaryArchitectureId(), 16777223);
  EXPECT_EQ(log->architectureVariantId(), 3);
  EXPECT_EQ(log->osExceptionType(), "SIGSEGV");
  EXPECT_EQ(log->osExceptionCode(), "SEGV_MAPERR");
  EXPECT_EQ(log->osExceptionAddress(), "0x0");
  EXPECT_FALSE(log->exceptionType());
  EXPECT_FALSE(log->selectorRegisterValue());
  EXPECT_TRUE(log->device());
  EXPECT_TRUE(log->isValid());
  // Whole seconds gain the end of their second.
  auto json = log->serializeToOrderedJson();
  EXPECT_EQ(json["timestamp"], "2023-11-14T22:13:20.999Z");
  EXPECT_EQ(json["appLaunchTimestamp"], "2023-11-14T21:56:40.000Z");
  ASSERT_EQ(log->threads()->size(), 2u);
  EXPECT_EQ((*log->threads())[1]->threadId(), 7);
  EXPECT_EQ(log->registers()->at("rip"), "0x0000000000401234");
  EXPECT_EQ(log->registers()->size(), 3u);
}

TEST_F(ErrorLogFormatter, FrameCodesByImageKindAndSymbol) {
  tltesting::MessageRecorder recorder;
  struct Row {
    const char* name;
    int os;
    std::optional<std::string> symbol;
    std::string imagePath;
    std::string processPath;
    std::string code;
    std::size_t warnings;
  };
  const std::vector<Row> rows = {
      {"system image, symbol", 0, "main", "/usr/lib/libc.so.6", "/opt/crashy", "main + 52", 0},
      {"no symbol", 0, std::nullopt, "/usr/lib/libc.so.6", "/opt/crashy", "0x400000 + 4660", 0},
      {"underscore kept on MAC_OS_X", 0, "_start", "/usr/lib/libc.so.6", "/opt/crashy", "_start + 52", 1},
      {"underscore dropped on IPHONE_SIMULATOR", 2, "_start", "/usr/lib/libc.so.6", "/opt/crashy",
       "start + 52", 0},
      {"lone underscore", 0, "_", "/usr/lib/libc.so.6", "/opt/crashy", "_ + 52", 0},
      {"application executable", 0, "main", "/Apps/Crashy.app/Contents/MacOS/Crashy",
       "/Apps/Crashy.app/Contents/MacOS/Crashy", "0x400000 + 4660", 0},
      {"application framework", 0, "main", "/Apps/Crashy.app/Contents/Frameworks/F",
       "/Apps/Crashy.app/Contents/MacOS/Crashy", "0x400000 + 4660", 0},
  };
  for (const auto& row : rows) {
    ReportSpec spec;
    spec.operatingSystem = row.os;
    spec.processPath = row.processPath;
    spec.images = {{kExeBase, 0x10000, row.imagePath, {1}}};
    spec.threads = {{0, true, {{kExeBase + 0x1234, row.symbol, kExeBase + 0x1200}}, {}}};
    auto report = ReportBuilder::report(spec);
    ASSERT_TRUE(report) << row.name;
    const std::size_t before = recorder.texts(TLLogLevelWarning).size();
    EXPECT_EQ(TLErrorLogFormatter::formatStackFrame(*report->threads()[0]->stackFrames[0], *report), row.code)
        << row.name;
    auto warnings = recorder.texts(TLLogLevelWarning);
    EXPECT_EQ(warnings.size() - before, row.warnings) << row.name;
    if (row.warnings) {
      EXPECT_EQ(warnings.back(), "Symbol prefix rules are unknown for this OS!");
    }
  }
  // An address outside every image.
  ReportSpec spec;
  spec.images = {{kExeBase, 0x100, "/usr/lib/libc.so.6", {1}}};
  spec.threads = {{0, true, {{0x10, std::nullopt, 0}}, {}}};
  auto report = ReportBuilder::report(spec);
  EXPECT_EQ(TLErrorLogFormatter::formatStackFrame(*report->threads()[0]->stackFrames[0], *report), "0x0 + 0");
}

TEST_F(ErrorLogFormatter, CodeTypeFromImagesOrArchitecture) {
  struct Row {
    const char* name;
    int architecture;
    std::vector<bool> machImages;
    std::optional<std::uint64_t> codeType;
    bool is64bit;
  };
  const std::vector<Row> rows = {
      {"mach image", 6, {true}, 16777223, true},
      {"x86-64 without descriptions", 1, {false}, 16777223, true},
      {"x86-32", 0, {false}, 7, false},
      {"armv7", 5, {false}, 12, false},
      {"ppc", 3, {false}, 18, false},
      {"ppc64 has no entry", 4, {false}, std::nullopt, false},
      {"unknown, later image decides", 6, {false, true}, 16777223, true},
  };
  for (const auto& row : rows) {
    ReportSpec spec;
    spec.architecture = row.architecture;
    spec.threads = {{0, true, {{0x1000, std::nullopt, 0}}, {}}};
    std::uint64_t base = 0x1000;
    for (bool mach : row.machImages) {
      ImageSpec image{base, 0x100, "/lib/x.so", {1}};
      image.machCodeType = mach;
      spec.images.push_back(image);
      base += 0x1000;
    }
    auto report = ReportBuilder::report(spec);
    ASSERT_TRUE(report) << row.name;
    auto codeType = TLErrorLogFormatter::extractCodeTypeFromReport(*report);
    EXPECT_EQ(codeType, row.codeType) << row.name;
    EXPECT_EQ(TLErrorLogFormatter::isCodeType64bit(codeType), row.is64bit) << row.name;
  }
  // Without any processor description the log has no architecture id and is invalid.
  ReportSpec spec = typicalSpec();
  for (auto& image : spec.images) image.machCodeType = false;
  auto log = TLErrorLogFormatter::errorLogFromCrashReport(*ReportBuilder::report(spec));
  EXPECT_FALSE(log->primaryArchitectureId());
  EXPECT_FALSE(log->isValid());
  for (const auto& binary : *log->binaries()) EXPECT_EQ(binary->primaryArchitectureId(), 16777223);
}

TEST_F(ErrorLogFormatter, AddressWidths) {
  const std::vector<std::tuple<std::uint64_t, bool, std::string>> rows = {
      {0x1234, true, "0x0000000000001234"},
      {0x1234, false, "0x00001234"},
      {0xABCDEF012, false, "0xabcdef012"},
      {0xFFFFFFFFFFFFFFFF, true, "0xffffffffffffffff"},
  };
  for (const auto& [address, is64, text] : rows)
    EXPECT_EQ(TLErrorLogFormatter::formatAddress(address, is64), text);
}

TEST_F(ErrorLogFormatter, ImageKinds) {
  const std::vector<std::tuple<std::optional<std::string>, std::optional<std::string>, int>> rows = {
      {std::nullopt, "/opt/x", 2},
      {"/opt/x", std::nullopt, 2},
      {"/opt/quorvane/crashy", "/opt/quorvane/crashy", 2},
      {"/A/Crashy.app/Contents/MacOS/Crashy", "/A/Crashy.app/Contents/MacOS/Crashy", 0},
      {"/A/Crashy.app/Contents/Frameworks/F.framework/F", "/A/Crashy.app/Contents/MacOS/Crashy", 1},
      {"/A/Crashy.app/Contents/./Frameworks/../Frameworks/F", "/A/Crashy.app/Contents/MacOS/Crashy", 1},
      {"/A/Crashy.app/Contents/Frameworks/libswiftCore.dylib", "/A/Crashy.app/Contents/MacOS/Crashy", 2},
      // The bundle is taken from the image's own path, so any image inside some bundle counts as one.
      {"/B/Other.app/Contents/MacOS/Other", "/A/Crashy.app/Contents/MacOS/Crashy", 1},
  };
  for (const auto& [image, process, kind] : rows)
    EXPECT_EQ(TLErrorLogFormatter::imageTypeForImagePath(image, process), kind) << image.value_or("(nil)");
}

TEST_F(ErrorLogFormatter, PathsLoseTheUserName) {
  const char* oldHome = std::getenv("HOME");
  std::string saved = oldHome ? oldHome : "";
  setenv("HOME", "/var/lib/someone", 1);
  const std::vector<std::pair<std::string, std::string>> rows = {
      {"", ""},
      {"/Users/bob/app/crashy", "/Users/USER/app/crashy"},
      {"/home/alice/bin/crashy", "/home/USER/bin/crashy"},
      {"/var/lib/someone/.local/bin/crashy", "/home/USER/.local/bin/crashy"},
      {"/var/lib/someoneelse/crashy", "/var/lib/someoneelse/crashy"},
      {"/Volumes/Users/crashy", ""},
      {"/opt/quorvane/crashy", "/opt/quorvane/crashy"},
  };
  for (const auto& [path, anonymised] : rows)
    EXPECT_EQ(TLErrorLogFormatter::anonymizedPathFromPath(path), anonymised) << path;
  if (oldHome) {
    setenv("HOME", saved.c_str(), 1);
  } else {
    unsetenv("HOME");
  }
}

TEST_F(ErrorLogFormatter, BinariesKeepImagesThatAddressesPointInto) {
  ReportSpec spec = typicalSpec();
  // A zero-sized image that the second thread's stack pointer points at.
  spec.images.push_back({0x500000, 0, "/usr/lib/zero.so", {}});
  spec.threads[1].registers.push_back({"rsp", 0x500000});
  auto log = TLErrorLogFormatter::errorLogFromCrashReport(*ReportBuilder::report(spec));
  ASSERT_TRUE(log->binaries());
  std::vector<std::string> names;
  for (const auto& binary : *log->binaries()) names.push_back(*binary->name());
  EXPECT_EQ(names, (std::vector<std::string>{"crashy", "zero.so", "libc.so.6"}));
  const auto& exe = (*log->binaries())[0];
  EXPECT_EQ(exe->binaryId(), "abcd01");
  EXPECT_EQ(exe->startAddress(), "0x0000000000400000");
  EXPECT_EQ(exe->endAddress(), "0x000000000040ffff");
  EXPECT_EQ(exe->path(), "/opt/quorvane/crashy");
  EXPECT_EQ(exe->architectureVariantId(), 3);
  const auto& zero = (*log->binaries())[1];
  EXPECT_EQ(zero->startAddress(), zero->endAddress());
  EXPECT_EQ(zero->binaryId(), "???");
  EXPECT_TRUE(exe->isValid());
}

TEST_F(ErrorLogFormatter, ReportWithoutProcessInfoOrUuid) {
  ReportSpec spec = typicalSpec();
  spec.hasProcessInfo = false;
  spec.reportUuid.clear();
  auto log = TLErrorLogFormatter::errorLogFromCrashReport(*ReportBuilder::report(spec));
  EXPECT_EQ(log->processId(), 0);
  EXPECT_EQ(log->processName(), "???");
  EXPECT_EQ(log->parentProcessName(), "???");
  EXPECT_FALSE(log->parentProcessId());
  EXPECT_EQ(log->applicationPath(), "???");
  EXPECT_EQ(log->errorId()->size(), 36u);
  EXPECT_EQ(*log->errorId(), platform::uuidString(*platform::parseUUID(*log->errorId())));
  EXPECT_EQ(log->appLaunchTimestamp(),
            log->timestamp().has_value()
                ? std::optional(platform::Date::fromTimeIntervalSince1970(1700000000))
                : std::nullopt);
}

TEST_F(ErrorLogFormatter, ExceptionRecordGoesToTheCrashedThread) {
  ReportSpec spec = typicalSpec();
  spec.hasException = true;
  spec.exceptionName = "std::runtime_error";
  spec.exceptionReason = "boom";
  spec.exceptionFrames = {{kExeBase + 0x10, std::nullopt, 0}, {kExeBase + 0x20, std::nullopt, 0}};
  auto log = TLErrorLogFormatter::errorLogFromCrashReport(*ReportBuilder::report(spec));
  EXPECT_EQ(log->exceptionType(), "std::runtime_error");
  EXPECT_EQ(log->exceptionReason(), "boom");
  const auto& crashed = (*log->threads())[0];
  ASSERT_TRUE(crashed->exception());
  EXPECT_EQ(crashed->exception()->type(), "std::runtime_error");
  EXPECT_EQ(crashed->exception()->message(), "boom");
  ASSERT_EQ(crashed->exception()->frames()->size(), 2u);
  EXPECT_EQ((*crashed->exception()->frames())[0]->address(), "0x0000000000400010");
  EXPECT_FALSE((*crashed->exception()->frames())[0]->code());
  EXPECT_FALSE((*log->threads())[1]->exception());

  // Without frames there is no record; without a name the signal names it.
  spec.exceptionFrames.clear();
  log = TLErrorLogFormatter::errorLogFromCrashReport(*ReportBuilder::report(spec));
  EXPECT_FALSE((*log->threads())[0]->exception());
  spec.exceptionFrames = {{kExeBase + 0x10, std::nullopt, 0}};
  spec.exceptionName = "";
  log = TLErrorLogFormatter::errorLogFromCrashReport(*ReportBuilder::report(spec));
  EXPECT_EQ((*log->threads())[0]->exception()->type(), "SIGSEGV");
}

TEST_F(ErrorLogFormatter, ErrorReportFromLog) {
  auto log = TLErrorLogFormatter::errorLogFromCrashReport(*ReportBuilder::report(typicalSpec()));
  auto report = TLErrorLogFormatter::errorReportFromLog(*log);
  EXPECT_EQ(report->incidentIdentifier(), log->errorId());
  EXPECT_EQ(report->signal(), "SIGSEGV");
  EXPECT_EQ(report->appErrorTime(), log->timestamp());
  EXPECT_EQ(report->appStartTime(), log->appLaunchTimestamp());
  EXPECT_EQ(report->appProcessIdentifier(), 4321u);
  EXPECT_TRUE(report->device());
  EXPECT_FALSE(TLErrorLogFormatter::errorReportFromCrashReport(nullptr));
}
