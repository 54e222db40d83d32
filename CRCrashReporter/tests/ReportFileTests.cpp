// The report file step: the armed path opened, written and closed, on success and on each failure.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "CRCrashReport.h"
#include "CrashTestSupport.h"
#include "Platform/CRLoader.h"
#include "crcrash_write_report.h"
#include "testing/Sandbox.h"

namespace pc = platform::crash;
using crash_test::CapturedStderr;

namespace {

void reportfile_add_image(std::uint64_t header_addr, std::intptr_t, const char* name, void* context) {
  crcrash_nasync_image_list_append(static_cast<crcrash_async_image_list_t*>(context), header_addr, name);
}
void reportfile_remove_image(std::uint64_t header_addr, std::intptr_t, const char*, void* context) {
  crcrash_nasync_image_list_remove(static_cast<crcrash_async_image_list_t*>(context), header_addr);
}

struct StepRequest {
  crcrash_handler_context_t* context;
  const crcrash_log_signal_info_t* signal;
  crcrash_error_t result;
};

int report_from_here(crcrash_async_thread_state_t* state, void* request_ptr) {
  auto* request = static_cast<StepRequest*>(request_ptr);
  request->result = crcrash_write_report(request->context, pc::mach_thread_self(), state, request->signal);
  return 0;
}

class CrashReportFile : public qvtesting::SandboxTest {
 protected:
  void SetUp() override {
    qvtesting::SandboxTest::SetUp();
    crcrash_nasync_image_list_init(&images_, pc::mach_task_self());
    loader_ = pc::dyld_register_image_callbacks(reportfile_add_image, reportfile_remove_image, &images_);
    CapturedStderr quiet;  // host facts the sandbox lacks are logged
    crcrash_log_writer_init(&context_.writer, "com.quorvane.tests", "2.0", nullptr,
                            CRCRASH_SYMBOL_STRATEGY_SYMBOL_TABLE, false);
    context_.image_list = &images_;
  }
  void TearDown() override {
    crcrash_log_writer_free(&context_.writer);
    pc::dyld_unregister_image_callbacks(loader_);
    crcrash_nasync_image_list_free(&images_);
    qvtesting::SandboxTest::TearDown();
  }

  // Runs the file step for a SIGSEGV on this thread into `path`; returns its result and keeps its log.
  crcrash_error_t step(const std::string& path) {
    context_.path = const_cast<char*>(path.c_str());
    crcrash_log_bsd_signal_info_t bsd{11, 1, reinterpret_cast<void*>(0x10)};
    crcrash_log_signal_info_t signal_info{&bsd, nullptr};
    StepRequest request{&context_, &signal_info, CRCRASH_ERR_UNKNOWN};
    CapturedStderr captured;
    crcrash_async_thread_state_current(report_from_here, &request);
    log_ = captured.text();
    return request.result;
  }

  crcrash_async_image_list_t images_;
  int loader_ = 0;
  crcrash_handler_context_t context_{};
  std::string log_;
};

}  // namespace

// A report replaces whatever the path held, with mode 0644, and reads back whole.
TEST_F(CrashReportFile, WritesTheReportOverAnOldFile) {
  const std::string path = (root() / "live_report.crcrash").string();
  for (bool old_file : {false, true}) {
    SCOPED_TRACE(old_file ? "over a larger old file" : "new file");
    if (old_file) writeFile("live_report.crcrash", std::string(CRCRASH_REPORT_FILE_LIMIT * 2, 'x'));
    mode_t old_mask = umask(022);
    crcrash_error_t result = step(path);
    umask(old_mask);
    ASSERT_EQ(result, CRCRASH_ERR_NONE) << log_;
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    EXPECT_LE(static_cast<std::uint64_t>(st.st_size), CRCRASH_REPORT_FILE_LIMIT);
    platform::Error error;
    auto report = CRCrashReport::initWithData(crash_test::read_file(path), &error);
    ASSERT_NE(report, nullptr) << error.description;
    EXPECT_EQ(report->signalInfo()->name, "SIGSEGV");
    EXPECT_EQ(report->applicationInfo()->applicationVersion, "2.0");
    int crashed = 0;
    for (const auto& thread : report->threads()) crashed += thread->crashed ? 1 : 0;
    EXPECT_EQ(crashed, 1);
    EXPECT_FALSE(report->images().empty());
  }
}

// A path that cannot be opened, or a file that cannot take the report, fails the step with 6.
TEST_F(CrashReportFile, FailuresGiveInternalError) {
  struct Case {
    const char* name;
    std::string path;
    const char* log;
  } cases[] = {
      {"missing folder", (root() / "missing" / "live_report.crcrash").string(),
       "Could not open the crashlog output file: No such file or directory"},
      {"full disk", "/dev/full", "Failed to flush output file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(step(c.path), CRCRASH_ERR_INTERNAL);
    EXPECT_NE(log_.find(c.log), std::string::npos) << log_;
  }
  EXPECT_FALSE(std::filesystem::exists(root() / "missing"));
}
