// The decoded report model: a report written by the writer read back, and a table of crafted files.

#include <crcrash.pb-c.h>
#include <gtest/gtest.h>

#include <functional>

#include "CRCrashReport.h"
#include "CrashTestSupport.h"
#include "Platform/CRLoader.h"
#include "crcrash_log_writer.h"
#include "platform/Utf8.h"

using crash_test::CapturedStderr;

namespace {

// A minimal valid report, built with protobuf-c's own structures so that single fields can be broken.
struct Crafted {
  Crcrash__CrashReport report = CRCRASH__CRASH_REPORT__INIT;
  Crcrash__CrashReport__SystemInfo system = CRCRASH__CRASH_REPORT__SYSTEM_INFO__INIT;
  Crcrash__CrashReport__ApplicationInfo application = CRCRASH__CRASH_REPORT__APPLICATION_INFO__INIT;
  Crcrash__CrashReport__Signal signal = CRCRASH__CRASH_REPORT__SIGNAL__INIT;
  Crcrash__CrashReport__Signal__MachException mach = CRCRASH__CRASH_REPORT__SIGNAL__MACH_EXCEPTION__INIT;
  Crcrash__CrashReport__Thread thread = CRCRASH__CRASH_REPORT__THREAD__INIT;
  Crcrash__CrashReport__Thread* threads[1] = {&thread};
  Crcrash__CrashReport__Thread__StackFrame frame = CRCRASH__CRASH_REPORT__THREAD__STACK_FRAME__INIT;
  Crcrash__CrashReport__Thread__StackFrame* frames[1] = {&frame};
  Crcrash__CrashReport__Symbol symbol = CRCRASH__CRASH_REPORT__SYMBOL__INIT;
  Crcrash__CrashReport__BinaryImage image = CRCRASH__CRASH_REPORT__BINARY_IMAGE__INIT;
  Crcrash__CrashReport__BinaryImage* images[1] = {&image};
  Crcrash__CrashReport__ReportInfo info = CRCRASH__CRASH_REPORT__REPORT_INFO__INIT;
  std::uint8_t uuid[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                           0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
  std::vector<std::uint64_t> codes;
  char os_version[8] = "6.1.0";
  char identifier[8] = "app.id";
  char version[4] = "1.0";
  char signame[8] = "SIGSEGV";
  char sigcode[16] = "SEGV_MAPERR";
  char image_name[16] = "/usr/bin/app";
  char symbol_name[16] = "main";

  Crafted() {
    system.os_version = os_version;
    system.architecture = CRCRASH__ARCHITECTURE__X86_64;
    system.timestamp = 1700000000;
    report.system_info = &system;
    application.identifier = identifier;
    application.version = version;
    report.application_info = &application;
    signal.name = signame;
    signal.code = sigcode;
    signal.address = 0x10;
    report.signal = &signal;
    frame.pc = 0x401000;
    symbol.name = symbol_name;
    symbol.start_address = 0x400ff0;
    frame.symbol = &symbol;
    thread.n_frames = 1;
    thread.frames = frames;
    thread.crashed = true;
    report.n_threads = 1;
    report.threads = threads;
    image.name = image_name;
    image.base_address = 0x400000;
    image.size = 0x2000;
    image.has_uuid = true;
    image.uuid = {16, uuid};
    report.n_binary_images = 1;
    report.binary_images = images;
    info.user_requested = true;
    info.has_uuid = true;
    info.uuid = {16, uuid};
    report.report_info = &info;
  }

  platform::Data file() const {
    platform::Data data = platform::dataFromString("crcrash");
    data.push_back(1);
    std::size_t size = crcrash__crash_report__get_packed_size(&report);
    data.resize(8 + size);
    crcrash__crash_report__pack(&report, data.data() + 8);
    return data;
  }
};

}  // namespace

TEST(CrashReportModel, CraftedFiles) {
  struct Case {
    const char* what;
    std::function<void(Crafted&)> change;
    std::function<void(platform::Data&)> change_file;
    const char* error;  // null: decodes
  };
  std::vector<Case> cases = {
      {"valid", {}, {}, nullptr},
      {"8 bytes", {}, [](platform::Data& d) { d.resize(8); }, "Could not decode truncated crash log"},
      {"wrong magic", {}, [](platform::Data& d) { d[0] = 'x'; }, "Could not decode invalid crash log header"},
      {"version 2",
       {},
       [](platform::Data& d) { d[7] = 2; },
       "Could not decode unsupported crash report version: 2"},
      {"garbage body",
       {},
       [](platform::Data& d) { d.resize(12, 0xFF); },
       "An unknown error occured decoding the crash report"},
      {"system info missing",
       [](Crafted& c) { c.report.system_info = nullptr; },
       {},
       "An unknown error occured decoding the crash report"},
      {"signal missing",
       [](Crafted& c) { c.report.signal = nullptr; },
       {},
       "An unknown error occured decoding the crash report"},
      {"application missing",
       [](Crafted& c) { c.report.application_info = nullptr; },
       {},
       "An unknown error occured decoding the crash report"},
      {"15-byte report UUID",
       [](Crafted& c) { c.info.uuid.len = 15; },
       {},
       "Report UUID value is not a standard 16 bytes"},
      {"256 Mach codes",
       [](Crafted& c) {
         c.codes.assign(256, 7);
         c.mach.type = 1;
         c.mach.n_codes = c.codes.size();
         c.mach.codes = c.codes.data();
         c.signal.mach_exception = &c.mach;
       },
       {},
       "Crash report includes too many Mach Exception codes"},
      {"no threads",
       [](Crafted& c) { c.report.n_threads = 0; },
       {},
       "Crash report is missing thread state information"},
      {"no images",
       [](Crafted& c) { c.report.n_binary_images = 0; },
       {},
       "Crash report is missing binary image information"},
      {"a thread without frames", [](Crafted& c) { c.thread.n_frames = 0; }, {}, nullptr},
      {"invalid UTF-8", [](Crafted& c) { std::strcpy(c.image_name, "/bin/\xC3\x28x"); }, {}, nullptr},
      {"1 MiB + 1",
       {},
       [](platform::Data& d) { d.resize(CRCrashReportMaximumSize + 1, 0); },
       "Could not decode oversized crash report"},
  };
  for (Case& c : cases) {
    Crafted crafted;
    if (c.change) c.change(crafted);
    platform::Data data = crafted.file();
    if (c.change_file) c.change_file(data);
    platform::Error error;
    auto report = CRCrashReport::initWithData(data, &error);
    if (c.error != nullptr) {
      EXPECT_EQ(report, nullptr) << c.what;
      EXPECT_EQ(error.domain, CRCrashReporterErrorDomain) << c.what;
      EXPECT_EQ(error.code, 2) << c.what;
      EXPECT_EQ(error.description, c.error) << c.what;
      continue;
    }
    ASSERT_NE(report, nullptr) << c.what << ": " << error.description;
    EXPECT_EQ(report->threads().size(), 1u);
    EXPECT_EQ(report->threads()[0]->stackFrames.size(), crafted.thread.n_frames);
    EXPECT_TRUE(platform::utf8::isValid(report->images()[0]->imageName)) << c.what;
  }
}

TEST(CrashReportModel, ValuesOfAValidReport) {
  Crafted crafted;
  platform::Error error;
  auto report = CRCrashReport::initWithData(crafted.file(), &error);
  ASSERT_NE(report, nullptr) << error.description;
  EXPECT_EQ(report->systemInfo()->operatingSystemVersion, "6.1.0");
  EXPECT_FALSE(report->systemInfo()->operatingSystemBuild.has_value());
  ASSERT_TRUE(report->systemInfo()->timestamp.has_value());
  EXPECT_EQ(report->systemInfo()->timestamp->timeIntervalSince1970(), 1700000000.0);
  EXPECT_EQ(report->systemInfo()->architecture, 1);
  EXPECT_FALSE(report->hasMachineInfo());
  EXPECT_FALSE(report->hasProcessInfo());
  EXPECT_FALSE(report->hasExceptionInfo());
  EXPECT_EQ(report->machExceptionInfo(), nullptr);
  const auto& image = report->images()[0];
  EXPECT_TRUE(image->hasImageUUID);
  EXPECT_EQ(image->imageUUID, "00112233445566778899aabbccddeeff");
  EXPECT_EQ(report->imageForAddress(0x400000), image);
  EXPECT_EQ(report->imageForAddress(0x401fff), image);
  EXPECT_EQ(report->imageForAddress(0x402000), nullptr);
  const auto& symbol = report->threads()[0]->stackFrames[0]->symbolInfo;
  ASSERT_NE(symbol, nullptr);
  EXPECT_EQ(symbol->symbolName, "main");
  EXPECT_EQ(symbol->endAddress, 0u);
  ASSERT_TRUE(report->uuid().has_value());
  EXPECT_EQ(report->uuid()->size(), 16u);
}

// What the writer produces, the model reads.
TEST(CrashReportModel, WriterOutputDecodes) {
  crcrash_log_writer_t writer;
  crcrash_log_writer_init(&writer, "com.quorvane.tests", "2.0", nullptr, CRCRASH_SYMBOL_STRATEGY_NONE, true);
  const std::uint64_t frames[] = {0x1000, 0x2000};
  crcrash_log_writer_set_exception(&writer, "Boom", "it broke", frames, 2);
  char path[] = "/tmp/qv-crash-model-XXXXXX";
  int fd = mkstemp(path);
  crcrash_async_file_t file;
  crcrash_async_file_init(&file, fd, CRCRASH_REPORT_FILE_LIMIT);
  crcrash_log_bsd_signal_info_t bsd{5, 2, reinterpret_cast<void*>(0x77)};
  const std::uint64_t codes[] = {1, 2};
  crcrash_log_mach_signal_info_t mach{6, codes, 2};
  crcrash_log_signal_info_t signal_info{&bsd, &mach};
  crcrash_async_image_list_t images;
  crcrash_nasync_image_list_init(&images, platform::crash::mach_task_self());
  int handle = platform::crash::dyld_register_image_callbacks(
      [](std::uint64_t header, std::intptr_t, const char* name, void* list) {
        crcrash_nasync_image_list_append(static_cast<crcrash_async_image_list_t*>(list), header, name);
      },
      [](std::uint64_t header, std::intptr_t, const char*, void* list) {
        crcrash_nasync_image_list_remove(static_cast<crcrash_async_image_list_t*>(list), header);
      },
      &images);
  {
    CapturedStderr quiet;
    struct Request {
      crcrash_log_writer_t* writer;
      crcrash_async_file_t* file;
      const crcrash_log_signal_info_t* signal;
      crcrash_async_image_list_t* images;
    } request{&writer, &file, &signal_info, &images};
    crcrash_async_thread_state_current(
        [](crcrash_async_thread_state_t* state, void* ctx) {
          auto* r = static_cast<Request*>(ctx);
          return static_cast<int>(crcrash_log_writer_write(r->writer, platform::crash::mach_thread_self(),
                                                           r->images, r->file, r->signal, state));
        },
        &request);
    crcrash_async_file_close(&file);
  }
  crcrash_log_writer_free(&writer);
  platform::Data data = crash_test::read_file(path);
  unlink(path);
  platform::crash::dyld_unregister_image_callbacks(handle);
  crcrash_nasync_image_list_free(&images);
  platform::Error error;
  auto report = CRCrashReport::initWithData(data, &error);
  ASSERT_NE(report, nullptr) << error.description;
  EXPECT_EQ(report->signalInfo()->name, "SIGTRAP");
  EXPECT_EQ(report->signalInfo()->code, "TRAP_TRACE");
  EXPECT_EQ(report->signalInfo()->address, 0x77u);
  ASSERT_NE(report->machExceptionInfo(), nullptr);
  EXPECT_EQ(report->machExceptionInfo()->type, 6u);
  EXPECT_EQ(report->machExceptionInfo()->codes, (std::vector<std::uint64_t>{1, 2}));
  ASSERT_TRUE(report->hasExceptionInfo());
  EXPECT_EQ(report->exceptionInfo()->exceptionName, "Boom");
  ASSERT_TRUE(report->exceptionInfo()->stackFrames.has_value());
  EXPECT_EQ(report->exceptionInfo()->stackFrames->size(), 2u);
  EXPECT_EQ(report->applicationInfo()->applicationVersion, "2.0");
  EXPECT_FALSE(report->applicationInfo()->applicationMarketingVersion.has_value());
  ASSERT_TRUE(report->hasProcessInfo());
  EXPECT_EQ(report->processInfo()->processID, static_cast<std::uint64_t>(getpid()));
  ASSERT_TRUE(report->hasMachineInfo());
  EXPECT_EQ(report->machineInfo()->processorInfo->type, 0x1000007u);
  EXPECT_GE(report->images().size(), 3u);
  int crashed = 0;
  for (const auto& thread : report->threads()) crashed += thread->crashed ? 1 : 0;
  EXPECT_EQ(crashed, 1);
}
