#include "crcrash_write_report.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "Platform/CRThreads.h"

namespace pc = platform::crash;

static crcrash_error_t crcrash_write_report_file(crcrash_handler_context_t* context, thread_t crashed_thread,
                                                 const crcrash_async_thread_state_t* state,
                                                 const crcrash_log_signal_info_t* signal_info);

namespace {

[[noreturn]] void block_for_good() {
  static std::uint32_t never = 0;
  for (;;) syscall(SYS_futex, &never, FUTEX_WAIT_PRIVATE, 0, nullptr, nullptr, 0);
}

}  // namespace

crcrash_error_t crcrash_write_report(crcrash_handler_context_t* context, thread_t crashed_thread,
                                     const crcrash_async_thread_state_t* state,
                                     const crcrash_log_signal_info_t* signal_info) {
  const thread_t self = pc::mach_thread_self();
  std::uint32_t owner = 0;
  if (!context->writer_thread.compare_exchange_strong(owner, self, std::memory_order_acq_rel)) {
    if (owner == self) {
      CRCRASH_DEBUG("A crash occurred while writing the report");
      return CRCRASH_ERR_INTERNAL;
    }
    if (crashed_thread == self && state != nullptr) {
      pc::thread_park_state(&state->exception.ues.es64, &state->thread.uts.ts64);
    }
    block_for_good();
  }
  crcrash_error_t result = crcrash_write_report_file(context, crashed_thread, state, signal_info);
  if (!context->one_report) context->writer_thread.store(0, std::memory_order_release);
  return result;
}

static crcrash_error_t crcrash_write_report_file(crcrash_handler_context_t* context, thread_t crashed_thread,
                                                 const crcrash_async_thread_state_t* state,
                                                 const crcrash_log_signal_info_t* signal_info) {
  int fd = open(context->path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    CRCRASH_DEBUG("Could not open the crashlog output file: %s", crcrash_async_errno_text(errno));
    return CRCRASH_ERR_INTERNAL;
  }
  crcrash_async_file_t file;
  crcrash_async_file_init(&file, fd, CRCRASH_REPORT_FILE_LIMIT);
  crcrash_error_t result = crcrash_log_writer_write(&context->writer, crashed_thread, context->image_list,
                                                    &file, signal_info, state);
  if (crcrash_log_writer_close(&context->writer) != CRCRASH_ERR_NONE) {
    CRCRASH_DEBUG("Failed to close the log writer");
    crcrash_async_file_close(&file);
    return CRCRASH_ERR_INTERNAL;
  }
  if (!crcrash_async_file_flush(&file)) {
    CRCRASH_DEBUG("Failed to flush output file");
    crcrash_async_file_close(&file);
    return CRCRASH_ERR_INTERNAL;
  }
  if (!crcrash_async_file_close(&file)) {
    CRCRASH_DEBUG("Failed to close output file");
    return CRCRASH_ERR_INTERNAL;
  }
  return result;
}
