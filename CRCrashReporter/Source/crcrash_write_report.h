#pragma once
// The report file step shared by the signal path and the exception-server path: opens the armed report
// path, writes one report through the handler context's writer and closes the file. Async-safe.

#include <atomic>

#include "crcrash_log_writer.h"

// What the crash paths need, prepared in normal context when capture is armed and never freed.
struct crcrash_handler_context_t {
  // The armed writer (application and host facts gathered at arming time).
  crcrash_log_writer_t writer;
  // The report file's path, owned.
  char* path;
  // The process-wide image list the stacks are symbolicated and the images listed from; may be null.
  crcrash_async_image_list_t* image_list;
  // The thread writing a report through this context now, 0 when none. Taken with compare-and-swap, so
  // that crashes on several threads at once never write into the one file together.
  std::atomic<std::uint32_t> writer_thread{0};
  // Set on the context armed for crashes: the writer keeps the claim after its report, so that the one
  // report of the crash is never overwritten by a thread that faults a moment later.
  bool one_report = false;
};

// Writes the report of a crash on `crashed_thread` to the context's path (created or truncated, mode
// 0644, at most CRCRASH_REPORT_FILE_LIMIT bytes). `state` is the crashed thread's state when it is the
// calling thread, else null. Returns the write's own result, or 6 when the file could not be opened,
// flushed or closed.
//
// While another thread writes (or, with one_report, has written) through the context, the caller is a
// latecomer: when it is the crashed thread it parks `state`, so that the report shows where it faulted,
// and then blocks for good (the first crash ends the process). A call from the writing thread itself (a
// fault inside the writer) returns 6 at once.
crcrash_error_t crcrash_write_report(crcrash_handler_context_t* context, thread_t crashed_thread,
                                     const crcrash_async_thread_state_t* state,
                                     const crcrash_log_signal_info_t* signal_info);
