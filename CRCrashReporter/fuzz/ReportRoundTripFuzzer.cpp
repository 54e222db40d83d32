// Arbitrary writer inputs written as a report and read back: application strings, the uncaught exception
// and the signal (strings with NUL bytes and ill-formed UTF-8 among them) must decode to what was given,
// each string up to its first NUL with ill-formed sequences replaced.

#include <fuzzer/FuzzedDataProvider.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "CRCrashReport.h"
#include "Platform/CRLoader.h"
#include "Platform/CRThreads.h"
#include "crcrash_log_writer.h"
#include "platform/Utf8.h"

namespace {

// The process's images, as the armed reporter keeps them (a report without images does not decode).
crcrash_async_image_list_t* images() {
  static crcrash_async_image_list_t* list = [] {
    static crcrash_async_image_list_t l;
    crcrash_nasync_image_list_init(&l, platform::crash::mach_task_self());
    platform::crash::dyld_register_image_callbacks(
        [](std::uint64_t header, std::intptr_t, const char* name, void* ctx) {
          crcrash_nasync_image_list_append(static_cast<crcrash_async_image_list_t*>(ctx), header, name);
        },
        [](std::uint64_t header, std::intptr_t, const char*, void* ctx) {
          crcrash_nasync_image_list_remove(static_cast<crcrash_async_image_list_t*>(ctx), header);
        },
        &l);
    return &l;
  }();
  return list;
}

struct Request {
  crcrash_log_writer_t* writer;
  crcrash_async_file_t* file;
  const crcrash_log_signal_info_t* signal;
  crcrash_error_t result;
};

int write_here(crcrash_async_thread_state_t* state, void* ctx) {
  auto* r = static_cast<Request*>(ctx);
  r->result = crcrash_log_writer_write(r->writer, platform::crash::mach_thread_self(), images(), r->file,
                                       r->signal, state);
  return 0;
}

// What a C string given to the writer reads back as.
std::string expected(const std::string& given) { return platform::utf8::sanitized(given.c_str()); }

void check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "round trip mismatch: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const std::string identifier = in.ConsumeRandomLengthString(300);
  const std::string version = in.ConsumeRandomLengthString(300);
  const bool has_marketing = in.ConsumeBool();
  const std::string marketing = in.ConsumeRandomLengthString(300);
  const bool has_exception = in.ConsumeBool();
  const std::string exception_name = in.ConsumeRandomLengthString(300);
  const std::string exception_reason = in.ConsumeRandomLengthString(600);
  std::vector<std::uint64_t> callstack(in.ConsumeIntegralInRange<std::size_t>(0, 600));
  for (auto& address : callstack) address = in.ConsumeIntegral<std::uint64_t>();
  crcrash_log_bsd_signal_info_t bsd{in.ConsumeIntegralInRange<int>(-2, 40),
                                    in.ConsumeIntegralInRange<int>(-2, 12),
                                    reinterpret_cast<void*>(in.ConsumeIntegral<std::uintptr_t>())};
  const bool has_mach = in.ConsumeBool();
  std::vector<std::uint64_t> codes(in.ConsumeIntegralInRange<std::size_t>(0, 300));
  for (auto& code : codes) code = in.ConsumeIntegral<std::uint64_t>();
  crcrash_log_mach_signal_info_t mach{in.ConsumeIntegral<std::uint64_t>(), codes.data(),
                                      static_cast<std::uint32_t>(codes.size())};
  crcrash_log_signal_info_t signal_info{&bsd, has_mach ? &mach : nullptr};

  static int saved_stderr = dup(2);
  static int null_fd = [] {
    FILE* f = std::fopen("/dev/null", "w");
    return fileno(f);
  }();
  dup2(null_fd, 2);  // the writer's log lines are not what this checks

  // No symbols: a lookup scans the sanitizer runtime's thousands of exported names per frame, and the
  // report's own fields are what this checks.
  // No symbols: a lookup scans the sanitizer runtime's thousands of exported names per frame, and the
  // report's own fields are what this checks.
  crcrash_log_writer_t writer;
  crcrash_log_writer_init(&writer, identifier.c_str(), version.c_str(),
                          has_marketing ? marketing.c_str() : nullptr, CRCRASH_SYMBOL_STRATEGY_NONE, true);
  if (has_exception) {
    crcrash_log_writer_set_exception(&writer, exception_name.c_str(), exception_reason.c_str(),
                                     callstack.data(), callstack.size());
  }
  int fd = memfd_create("report", MFD_CLOEXEC);
  crcrash_async_file_t file;
  crcrash_async_file_init(&file, fd, CRCRASH_REPORT_FILE_LIMIT);
  Request request{&writer, &file, &signal_info, CRCRASH_ERR_UNKNOWN};
  crcrash_async_thread_state_current(write_here, &request);
  crcrash_async_file_flush(&file);
  platform::Data bytes(static_cast<std::size_t>(lseek(fd, 0, SEEK_END)));
  check(pread(fd, bytes.data(), bytes.size(), 0) == static_cast<ssize_t>(bytes.size()), "read back");
  close(fd);
  crcrash_log_writer_free(&writer);
  dup2(saved_stderr, 2);

  check(request.result == CRCRASH_ERR_NONE, "write result");
  check(bytes.size() <= CRCRASH_REPORT_FILE_LIMIT, "file limit");
  platform::Error error;
  auto report = CRCrashReport::initWithData(bytes, &error);
  if (report == nullptr) std::fprintf(stderr, "%s\n", error.description.c_str());
  check(report != nullptr, "decodes");
  check(report->applicationInfo()->applicationIdentifier == expected(identifier), "identifier");
  check(report->applicationInfo()->applicationVersion == expected(version), "version");
  const auto& marketing_read = report->applicationInfo()->applicationMarketingVersion;
  check(has_marketing ? marketing_read == expected(marketing) : !marketing_read.has_value(),
        "marketing version");

  check(report->hasExceptionInfo() == has_exception, "exception presence");
  if (has_exception) {
    const auto& e = *report->exceptionInfo();
    check(e.exceptionName == expected(exception_name), "exception name");
    check(e.exceptionReason == expected(exception_reason), "exception reason");
    const std::size_t frames = std::min<std::size_t>(callstack.size(), CRCRASH_MAX_FRAMES);
    const std::size_t read = e.stackFrames ? e.stackFrames->size() : 0;
    check(read == frames, "exception frame count");
    for (std::size_t i = 0; i < read; ++i)
      check((*e.stackFrames)[i]->instructionPointer == callstack[i], "exception frame");
  }

  const auto& s = *report->signalInfo();
  const char* name = crcrash_async_signal_signame(bsd.signo);
  const char* code = crcrash_async_signal_sigcode(bsd.signo, bsd.code);
  check(s.name == (name != nullptr ? std::string(name) : "#" + std::to_string(bsd.signo)), "signal name");
  check(s.code == (code != nullptr ? std::string(code) : "#" + std::to_string(bsd.code)), "signal code");
  check(s.address == reinterpret_cast<std::uint64_t>(bsd.address), "signal address");
  check((report->machExceptionInfo() != nullptr) == has_mach, "mach presence");
  if (has_mach) {
    check(report->machExceptionInfo()->type == mach.type, "mach type");
    const std::size_t kept = std::min<std::size_t>(codes.size(), CRCRASH_MAX_MACH_CODES);
    check(
        report->machExceptionInfo()->codes == std::vector<std::uint64_t>(codes.begin(), codes.begin() + kept),
        "mach codes");
  }
  bool crashed = false;
  for (const auto& thread : report->threads()) crashed |= thread->crashed;
  check(crashed, "crashed thread");
  return 0;
}
