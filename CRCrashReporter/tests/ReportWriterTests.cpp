// The report writer on this process: threads parked in a known recursion, the image list fed by the loader,
// the report decoded back with protobuf-c.

#include <crcrash.pb-c.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <linux/futex.h>
#include <signal.h>
#include <sys/syscall.h>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

#include "CRCrashProcessInfo.h"
#include "CRCrashReport.h"
#include "CrashTestSupport.h"
#include "Platform/CRLoader.h"
#include "Platform/CRSysctl.h"
#include "Platform/CRThreads.h"
#include "crcrash_log_writer.h"
#include "testing/TreePaths.h"

namespace pc = platform::crash;
using crash_test::CapturedStderr;

namespace {

std::atomic<int> g_parked{0};

std::atomic<std::uint32_t> g_release_word{0};

// Waits in a futex call made from this function itself, so that the stopped thread's frame chain starts
// in its own code and the waiting threads cost no processor time.
__attribute__((noinline)) void park_deep(int depth) {
  if (depth == 0) {
    g_parked++;
    while (g_release_word.load() == 0) {
      long ret;
      register long r10 asm("r10") = 0;
      asm volatile("syscall"
                   : "=a"(ret)
                   : "0"(SYS_futex), "D"(&g_release_word), "S"(FUTEX_WAIT_PRIVATE), "d"(0), "r"(r10)
                   : "rcx", "r11", "memory");
    }
  } else {
    park_deep(depth - 1);
  }
  asm volatile("" ::: "memory");
}

struct ParkedThreads {
  std::vector<std::thread> threads;
  ParkedThreads(int count, int depth) : ParkedThreads(count, [depth](int) { return depth; }) {}
  // Thread i parks at depth(i).
  ParkedThreads(int count, const std::function<int(int)>& depth) {
    g_release_word = 0;
    g_parked = 0;
    for (int i = 0; i < count; ++i) threads.emplace_back([d = depth(i)] { park_deep(d); });
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (g_parked.load() < count && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  }
  ~ParkedThreads() {
    g_release_word = 1;
    syscall(SYS_futex, &g_release_word, FUTEX_WAKE_PRIVATE, 1 << 30, nullptr, nullptr, 0);
    for (auto& t : threads) t.join();
  }
};

void add_image(std::uint64_t header_addr, std::intptr_t, const char* name, void* context) {
  crcrash_nasync_image_list_append(static_cast<crcrash_async_image_list_t*>(context), header_addr, name);
}
void remove_image(std::uint64_t header_addr, std::intptr_t, const char*, void* context) {
  crcrash_nasync_image_list_remove(static_cast<crcrash_async_image_list_t*>(context), header_addr);
}

struct Report {
  std::vector<std::uint8_t> bytes;
  crcrash_error_t result = CRCRASH_ERR_UNKNOWN;
  Crcrash__CrashReport* message = nullptr;
  std::string log;
  ~Report() {
    if (message != nullptr) crcrash__crash_report__free_unpacked(message, nullptr);
  }
};

struct WriteRequest {
  crcrash_log_writer_t* writer;
  crcrash_async_image_list_t* images;
  crcrash_async_file_t* file;
  const crcrash_log_signal_info_t* signal;
  crcrash_error_t result;
};

int write_from_here(crcrash_async_thread_state_t* state, void* context) {
  auto* request = static_cast<WriteRequest*>(context);
  request->result = crcrash_log_writer_write(request->writer, pc::mach_thread_self(), request->images,
                                             request->file, request->signal, state);
  return 0;
}

// Writes a report of this process, crashed on the calling thread, and decodes it.
std::unique_ptr<Report> write_report(std::uint32_t strategy, int signo, int code,
                                     const std::function<void(crcrash_log_writer_t*)>& prepare = {}) {
  auto report = std::make_unique<Report>();
  crcrash_async_image_list_t images;
  crcrash_nasync_image_list_init(&images, pc::mach_task_self());
  int handle = pc::dyld_register_image_callbacks(add_image, remove_image, &images);
  crcrash_log_writer_t writer;
  crcrash_log_writer_init(&writer, "com.quorvane.tests", "1.0", "1.0.0", strategy, false);
  if (prepare) prepare(&writer);
  char path[] = "/tmp/qv-crash-report-XXXXXX";
  int fd = mkstemp(path);
  crcrash_async_file_t file;
  crcrash_async_file_init(&file, fd, CRCRASH_REPORT_FILE_LIMIT);
  crcrash_log_bsd_signal_info_t bsd{signo, code, reinterpret_cast<void*>(0x1234)};
  crcrash_log_signal_info_t signal_info{&bsd, nullptr};
  {
    CapturedStderr captured;
    WriteRequest request{&writer, &images, &file, &signal_info, CRCRASH_ERR_UNKNOWN};
    crcrash_async_thread_state_current(write_from_here, &request);
    report->result = request.result;
    crcrash_async_file_close(&file);
    report->log = captured.text();
  }
  report->bytes = crash_test::read_file(path);
  unlink(path);
  crcrash_log_writer_free(&writer);
  pc::dyld_unregister_image_callbacks(handle);
  crcrash_nasync_image_list_free(&images);
  if (report->bytes.size() > 8 && std::memcmp(report->bytes.data(), "crcrash\x01", 8) == 0) {
    report->message =
        crcrash__crash_report__unpack(nullptr, report->bytes.size() - 8, report->bytes.data() + 8);
  }
  return report;
}

std::string hex(const std::uint8_t* bytes, std::size_t n) {
  std::string out;
  char b[3];
  for (std::size_t i = 0; i < n; ++i) {
    std::snprintf(b, sizeof b, "%02x", bytes[i]);
    out += b;
  }
  return out;
}

}  // namespace

TEST(CrashReportWriter, ReportOfThisProcess) {
  ParkedThreads parked(20, 8);
  auto report = write_report(CRCRASH_SYMBOL_STRATEGY_SYMBOL_TABLE, SIGABRT, 0);
  ASSERT_EQ(report->result, CRCRASH_ERR_NONE) << report->log;
  ASSERT_NE(report->message, nullptr) << "the report decodes";
  const Crcrash__CrashReport* m = report->message;
  EXPECT_LE(report->bytes.size(), CRCRASH_REPORT_FILE_LIMIT);

  EXPECT_EQ(m->system_info->operating_system, 0);
  EXPECT_EQ(m->system_info->architecture, 1);
  EXPECT_GT(m->system_info->timestamp, 1600000000);
  auto version = CRCrashHostInfo::parseRelease(crash_test::run("uname -r"));
  EXPECT_EQ(std::string(m->system_info->os_version), std::to_string(version.major) + "." +
                                                         std::to_string(version.minor) + "." +
                                                         std::to_string(version.revision));
  EXPECT_STREQ(m->application_info->identifier, "com.quorvane.tests");
  EXPECT_STREQ(m->application_info->marketing_version, "1.0.0");
  ASSERT_NE(m->process_info, nullptr);
  EXPECT_EQ(m->process_info->process_id, static_cast<std::uint32_t>(getpid()));
  EXPECT_EQ(m->process_info->parent_process_id, static_cast<std::uint32_t>(getppid()));
  ASSERT_NE(m->machine_info, nullptr);
  EXPECT_EQ(m->machine_info->processor->type, 0x1000007u);
  ASSERT_NE(m->report_info, nullptr);
  EXPECT_FALSE(m->report_info->user_requested);
  EXPECT_EQ(m->report_info->uuid.len, 16u);

  // Every thread is present, densely numbered; the crashed one (this one) has the 21 registers.
  ASSERT_GE(m->n_threads, 21u);
  int crashed = 0;
  std::size_t deep_threads = 0;
  for (std::size_t i = 0; i < m->n_threads; ++i) {
    const Crcrash__CrashReport__Thread* t = m->threads[i];
    EXPECT_EQ(t->thread_number, i);
    if (t->n_frames >= 9) ++deep_threads;
    if (!t->crashed) {
      EXPECT_EQ(t->n_registers, 0u);
      continue;
    }
    ++crashed;
    const char* names[] = {"rip", "rbp", "rsp", "rax", "rbx", "rcx", "rdx",    "rdi", "rsi", "r8", "r9",
                           "r10", "r11", "r12", "r13", "r14", "r15", "rflags", "cs",  "fs",  "gs"};
    ASSERT_EQ(t->n_registers, 21u);
    for (std::size_t r = 0; r < 21; ++r) EXPECT_STREQ(t->registers[r]->name, names[r]);
    ASSERT_GT(t->n_frames, 0u);
    EXPECT_EQ(t->frames[0]->pc, t->registers[0]->value);
  }
  EXPECT_EQ(crashed, 1);
  EXPECT_GE(deep_threads, 20u) << "the parked threads' recursions were walked";

  // The test executable is among the images, with the build-id readelf prints.
  char exe[4096];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe);
  std::string exe_path(exe, static_cast<std::size_t>(n));
  std::string notes = crash_test::run("readelf -n '" + exe_path + "'");
  std::size_t at = notes.find("Build ID: ");
  ASSERT_NE(at, std::string::npos);
  std::string build_id = notes.substr(at + 10, 32);
  bool found = false;
  for (std::size_t i = 0; i < m->n_binary_images; ++i) {
    const Crcrash__CrashReport__BinaryImage* image = m->binary_images[i];
    if (exe_path != image->name) continue;
    found = true;
    ASSERT_TRUE(image->has_uuid);
    EXPECT_EQ(hex(image->uuid.data, image->uuid.len), build_id);
    EXPECT_EQ(image->code_type->type, 0x1000007u);
    EXPECT_EQ(image->code_type->encoding,
              CRCRASH__CRASH_REPORT__PROCESSOR__TYPE_ENCODING__TYPE_ENCODING_MACH);
  }
  EXPECT_TRUE(found);

  // Symbols come only from the symbol table strategy; none is empty.
  std::size_t symbols = 0;
  for (std::size_t i = 0; i < m->n_threads; ++i) {
    for (std::size_t f = 0; f < m->threads[i]->n_frames; ++f) {
      const auto* symbol = m->threads[i]->frames[f]->symbol;
      if (symbol == nullptr) continue;
      ++symbols;
      EXPECT_GT(std::strlen(symbol->name), 0u);
      EXPECT_LE(symbol->start_address, m->threads[i]->frames[f]->pc);
      EXPECT_FALSE(symbol->has_end_address);
    }
  }
  EXPECT_GT(symbols, 0u);
  EXPECT_STREQ(m->signal->name, "SIGABRT");
  EXPECT_STREQ(m->signal->code, "#0");
  EXPECT_EQ(m->signal->address, 0x1234u);
  EXPECT_EQ(m->exception, nullptr);
}

TEST(CrashReportWriter, NoSymbolsWithoutAStrategy) {
  auto report = write_report(CRCRASH_SYMBOL_STRATEGY_NONE, SIGSEGV, 1);
  ASSERT_NE(report->message, nullptr);
  for (std::size_t i = 0; i < report->message->n_threads; ++i) {
    for (std::size_t f = 0; f < report->message->threads[i]->n_frames; ++f) {
      EXPECT_EQ(report->message->threads[i]->frames[f]->symbol, nullptr);
    }
  }
  EXPECT_STREQ(report->message->signal->name, "SIGSEGV");
  EXPECT_STREQ(report->message->signal->code, "SEGV_MAPERR");
}

TEST(CrashReportWriter, SignalNamesAndCodes) {
  struct Case {
    int signo, code;
    const char* name;
    const char* code_name;
  } cases[] = {{33, 0, "#33", "#0"},
               {6, 0, "SIGABRT", "#0"},
               {11, 5, "SIGSEGV", "#5"},
               {5, 2, "SIGTRAP", "TRAP_TRACE"}};
  for (const Case& c : cases) {
    auto report = write_report(CRCRASH_SYMBOL_STRATEGY_NONE, c.signo, c.code);
    ASSERT_NE(report->message, nullptr);
    EXPECT_STREQ(report->message->signal->name, c.name);
    EXPECT_STREQ(report->message->signal->code, c.code_name);
  }
}

TEST(CrashReportWriter, LinuxSignalsTranslate) {
  struct Case {
    int linux_signo, linux_code, trapno, signo, code;
    const char* name;
    const char* code_name;
  } cases[] = {
      {7, 2, 0, 10, 2, "SIGBUS", "BUS_ADRERR"},    {10, 0, 0, 30, 0, "SIGUSR1", nullptr},
      {31, 1, 0, 12, 1, "SIGSYS", nullptr},        {4, 2, 0, 4, 4, "SIGILL", "ILL_ILLOPN"},
      {8, 1, 0, 8, 7, "SIGFPE", "FPE_INTDIV"},     {8, 3, 0, 8, 1, "SIGFPE", "FPE_FLTDIV"},
      {11, 1, 0, 11, 1, "SIGSEGV", "SEGV_MAPERR"}, {11, 0x80, 13, 11, 0, "SIGSEGV", "SEGV_NOOP"},
      {5, 0x80, 3, 5, 1, "SIGTRAP", "TRAP_BRKPT"}, {6, -6, 0, 6, 0, "SIGABRT", "#0"},
      {12, 0, 0, 31, 0, "SIGUSR2", nullptr},
  };
  for (const Case& c : cases) {
    int signo = 0, code = 0;
    crcrash_async_signal_from_linux(c.linux_signo, c.linux_code, c.trapno, &signo, &code);
    EXPECT_EQ(signo, c.signo) << c.linux_signo;
    EXPECT_EQ(code, c.code) << c.linux_signo << "/" << c.linux_code;
    EXPECT_STREQ(crcrash_async_signal_signame(signo), c.name);
    if (c.code_name != nullptr) {
      EXPECT_STREQ(crcrash_async_signal_sigcode(signo, code), c.code_name);
    }
  }
}

TEST(CrashReportWriter, DeepStackIsCutAt512Frames) {
  std::unique_ptr<Report> report;
  std::function<void(int)> recurse = [&](int depth) {
    if (depth == 0) {
      report = write_report(CRCRASH_SYMBOL_STRATEGY_NONE, SIGABRT, 0);
    } else {
      recurse(depth - 1);
    }
  };
  recurse(600);
  ASSERT_NE(report->message, nullptr);
  bool seen = false;
  for (std::size_t i = 0; i < report->message->n_threads; ++i) {
    if (!report->message->threads[i]->crashed) continue;
    seen = true;
    EXPECT_EQ(report->message->threads[i]->n_frames, 512u);
  }
  EXPECT_TRUE(seen);
  EXPECT_NE(report->log.find("Terminated stack walking early: No error"), std::string::npos);
}

// A report that would pass its limit leaves out whole threads and keeps what matters: the signal, the
// exception, the crashed thread and the images that name its frames and the executable, so that the
// reader takes it. Two shapes: 300 threads of 512 frames each, and threads of every size from a few frames
// to 512, which fill the room up to the last bytes; either may leave no room for images in some build.
TEST(CrashReportWriter, OversizedReportStaysDecodable) {
  const std::pair<const char*, std::function<int(int)>> shapes[] = {
      {"300 threads of 512 frames", [](int) { return 600; }},
      {"threads of every size", [](int i) { return (i * 37) % 600; }},
  };
  for (const auto& [shape, depth] : shapes) {
    SCOPED_TRACE(shape);
    ParkedThreads parked(300, depth);
    std::vector<std::uint64_t> callstack(600);
    for (std::size_t i = 0; i < callstack.size(); ++i) callstack[i] = 0x400000 + i;
    auto report =
        write_report(CRCRASH_SYMBOL_STRATEGY_SYMBOL_TABLE, SIGSEGV, 1, [&](crcrash_log_writer_t* w) {
          crcrash_log_writer_set_exception(w, "NSInvalidArgumentException", "something broke",
                                           callstack.data(), callstack.size());
        });
    EXPECT_LE(report->bytes.size(), CRCRASH_REPORT_FILE_LIMIT);
    ASSERT_NE(report->message, nullptr) << "decodes";
    ASSERT_NE(report->message->signal, nullptr);
    EXPECT_STREQ(report->message->signal->name, "SIGSEGV");
    ASSERT_NE(report->message->exception, nullptr);
    EXPECT_EQ(report->message->exception->n_frames, 512u);
    EXPECT_LT(report->message->n_threads, 300u);
    EXPECT_NE(report->log.find("Left out thread"), std::string::npos);

    platform::Error error;
    auto decoded = CRCrashReport::initWithData(report->bytes, &error);
    ASSERT_NE(decoded, nullptr) << "the reader refuses it: " << error.description;
    std::shared_ptr<const CRCrashReportThreadInfo> crashed;
    for (const auto& thread : decoded->threads()) {
      if (thread->crashed) crashed = thread;
    }
    ASSERT_NE(crashed, nullptr);
    ASSERT_FALSE(crashed->stackFrames.empty());
    // Every frame of the crashed thread that lies in a loaded object lies in an image of the report.
    for (const auto& frame : crashed->stackFrames) {
      Dl_info info;
      if (dladdr(reinterpret_cast<void*>(frame->instructionPointer), &info) == 0) continue;
      EXPECT_NE(decoded->imageForAddress(frame->instructionPointer), nullptr)
          << std::hex << frame->instructionPointer << " in " << info.dli_fname;
    }
    char exe[4096];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe);
    ASSERT_GT(n, 0);
    const std::string exe_path(exe, static_cast<std::size_t>(n));
    bool executable = false;
    for (const auto& image : decoded->images()) executable |= image->imageName == exe_path;
    EXPECT_TRUE(executable) << "the executable's image is missing";
  }
}

// With every host fact missing the report still carries its required strings and decodes.
TEST(CrashReportWriter, MissingHostFactsStillDecode) {
  pc::set_sysctl_roots("/nonexistent", "/nonexistent");
  CRCrashProcessInfo::setProcRoot("/nonexistent");
  auto report = write_report(CRCRASH_SYMBOL_STRATEGY_NONE, SIGABRT, 0);
  pc::set_sysctl_roots("/proc", "/sys");
  CRCrashProcessInfo::setProcRoot("/proc");
  ASSERT_NE(report->message, nullptr);
  EXPECT_STREQ(report->message->system_info->os_version, "unknown");
  EXPECT_EQ(report->message->system_info->os_build, nullptr);
  EXPECT_EQ(report->message->machine_info->model, nullptr);
}

// A report written to a descriptor that fails reports the failure instead of a cut report.
TEST(CrashReportWriter, FailedOutputIsReported) {
  crcrash_log_writer_t writer;
  crcrash_log_writer_init(&writer, "id", "1", nullptr, 0, true);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);
  signal(SIGPIPE, SIG_IGN);
  crcrash_async_file_t file;
  crcrash_async_file_init(&file, fds[1], CRCRASH_REPORT_FILE_LIMIT);
  crcrash_log_bsd_signal_info_t bsd{SIGTRAP, 2, nullptr};
  crcrash_log_signal_info_t signal_info{&bsd, nullptr};
  crcrash_error_t result;
  {
    CapturedStderr quiet;
    result = crcrash_log_writer_write(&writer, 0, nullptr, &file, &signal_info, nullptr);
    crcrash_async_file_close(&file);
  }
  EXPECT_EQ(result, CRCRASH_ERR_OUTPUT);
  crcrash_log_writer_free(&writer);
}

TEST(CrashReportWriter, PackerEncodings) {
  struct Case {
    crcrash_pack_type_t type;
    std::uint64_t value;
    std::vector<std::uint8_t> expected;
  } cases[] = {
      {CRCRASH_PACK_UINT64, 300, {0x08, 0xAC, 0x02}},
      {CRCRASH_PACK_INT32,
       static_cast<std::uint64_t>(-1) & 0xFFFFFFFF,
       {0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}},
      {CRCRASH_PACK_SINT32, static_cast<std::uint32_t>(-2), {0x08, 0x03}},
      {CRCRASH_PACK_FIXED32, 1, {0x0D, 1, 0, 0, 0}},
      {CRCRASH_PACK_FIXED64, 2, {0x09, 2, 0, 0, 0, 0, 0, 0, 0}},
      {CRCRASH_PACK_BOOL, 1, {0x08, 0x01}},
      {CRCRASH_PACK_MESSAGE, 5, {0x0A, 0x05}},
  };
  for (const Case& c : cases) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    crcrash_async_file_t file;
    crcrash_async_file_init(&file, fds[1], 0);
    bool b = c.value != 0;
    const void* value = c.type == CRCRASH_PACK_BOOL ? static_cast<const void*>(&b) : &c.value;
    EXPECT_EQ(crcrash_writer_pack(nullptr, 1, c.type, value), c.expected.size()) << c.type;
    EXPECT_EQ(crcrash_writer_pack(&file, 1, c.type, value), c.expected.size()) << c.type;
    crcrash_async_file_flush(&file);
    std::vector<std::uint8_t> got(c.expected.size());
    ASSERT_EQ(read(fds[0], got.data(), got.size()), static_cast<ssize_t>(got.size()));
    EXPECT_EQ(got, c.expected) << c.type;
    close(fds[0]);
    close(fds[1]);
  }
  // A field number of 2^29 or more takes a long key.
  std::uint64_t v = 1;
  EXPECT_EQ(crcrash_writer_pack(nullptr, 1u << 29, CRCRASH_PACK_UINT64, &v), 6u);
}

TEST(CrashHostInfo, ReleaseStrings) {
  struct Case {
    const char* release;
    std::uint64_t major, minor, revision;
  } cases[] = {{"6.1.0-18-amd64", 6, 1, 0}, {"5.10.201", 5, 10, 201}, {"6.8", 6, 8, 0}, {"x", 0, 0, 0}};
  CapturedStderr quiet;
  for (const Case& c : cases) {
    auto v = CRCrashHostInfo::parseRelease(c.release);
    EXPECT_EQ(v.major, c.major) << c.release;
    EXPECT_EQ(v.minor, c.minor) << c.release;
    EXPECT_EQ(v.revision, c.revision) << c.release;
  }
}

TEST(CrashProcessInfo, ThisProcessAndAMissingOne) {
  auto info = CRCrashProcessInfo::currentProcessInfo();
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->processID(), getpid());
  EXPECT_EQ(info->parentProcessID(), getppid());
  ASSERT_TRUE(info->processName().has_value());
  std::string comm = crash_test::read_text("/proc/self/comm");
  EXPECT_EQ(*info->processName() + "\n", comm);
  EXPECT_GT(info->startTime().tv_sec, 1600000000);
  EXPECT_LE(info->startTime().tv_sec, time(nullptr));
  CapturedStderr captured;
  errno = 0;
  EXPECT_EQ(CRCrashProcessInfo::initWithProcessID(0x3FFFFFFF), nullptr);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(captured.text(), "") << "a missing process is not logged";
}

// A symbol name past 255 bytes is written cut before the character that straddles the limit.
TEST(CrashReportWriter, LongSymbolNamesAreCutAtACharacterBoundary) {
  void* plugin = dlopen(QV_CRASH_TEST_PLUGIN, RTLD_NOW);
  ASSERT_NE(plugin, nullptr) << dlerror();
  const std::string prefix = "crash_test_plugin_" + std::string(236, 'a');
  const std::string full = prefix + "\xc3\xa9_and_more";
  void* function = dlsym(plugin, full.c_str());
  ASSERT_NE(function, nullptr);
  const std::uint64_t address = reinterpret_cast<std::uint64_t>(function);
  std::uint64_t callstack[] = {address + 1};
  auto report = write_report(CRCRASH_SYMBOL_STRATEGY_SYMBOL_TABLE, SIGABRT, 0, [&](crcrash_log_writer_t* w) {
    crcrash_log_writer_set_exception(w, "Exception", "reason", callstack, 1);
  });
  dlclose(plugin);
  ASSERT_NE(report->message, nullptr);
  ASSERT_NE(report->message->exception, nullptr);
  ASSERT_EQ(report->message->exception->n_frames, 1u);
  const auto* symbol = report->message->exception->frames[0]->symbol;
  ASSERT_NE(symbol, nullptr);
  EXPECT_EQ(std::string(symbol->name), prefix);
  EXPECT_EQ(symbol->start_address, address);
}

// More Mach codes than the reader takes: the report keeps the first 255 and stays readable.
TEST(CrashReportWriter, MachCodesAreCappedAtWhatTheReaderTakes) {
  crcrash_log_writer_t writer;
  crcrash_log_writer_init(&writer, "id", "1", nullptr, 0, true);
  std::vector<std::uint64_t> codes(300);
  for (std::size_t i = 0; i < codes.size(); ++i) codes[i] = i + 1;
  crcrash_log_mach_signal_info_t mach{1, codes.data(), static_cast<std::uint32_t>(codes.size())};
  crcrash_log_bsd_signal_info_t bsd{SIGSEGV, 1, nullptr};
  crcrash_log_signal_info_t signal_info{&bsd, &mach};
  char path[] = "/tmp/qv-crash-codes-XXXXXX";
  crcrash_async_file_t file;
  crcrash_async_file_init(&file, mkstemp(path), CRCRASH_REPORT_FILE_LIMIT);
  std::string log;
  {
    CapturedStderr captured;
    EXPECT_EQ(crcrash_log_writer_write(&writer, 0, nullptr, &file, &signal_info, nullptr), CRCRASH_ERR_NONE);
    crcrash_async_file_close(&file);
    log = captured.text();
  }
  std::vector<std::uint8_t> bytes = crash_test::read_file(path);
  unlink(path);
  crcrash_log_writer_free(&writer);
  EXPECT_NE(log.find("Left out 45 Mach exception codes past 255"), std::string::npos) << log;
  Crcrash__CrashReport* m = crcrash__crash_report__unpack(nullptr, bytes.size() - 8, bytes.data() + 8);
  ASSERT_NE(m, nullptr);
  ASSERT_NE(m->signal->mach_exception, nullptr);
  EXPECT_EQ(m->signal->mach_exception->n_codes, 255u);
  EXPECT_EQ(m->signal->mach_exception->codes[254], 255u);
  crcrash__crash_report__free_unpacked(m, nullptr);
}
