#pragma once
// The report file step shared by the signal path and the exception-server path: opens the armed report
// path, writes one report through the handler context's writer and closes the file. Async-safe.

#include "crcrash_log_writer.h"

// What the crash paths need, prepared in normal context when capture is armed and never freed.
struct crcrash_handler_context_t {
  // The armed writer (application and host facts gathered at arming time).
  crcrash_log_writer_t writer;
  // The report file's path, owned.
  char* path;
  // The process-wide image list the stacks are symbolicated and the images listed from; may be null.
  crcrash_async_image_list_t* image_list;
};

// Writes the report of a crash on `crashed_thread` to the context's path (created or truncated, mode
// 0644, at most CRCRASH_REPORT_FILE_LIMIT bytes). `state` is the crashed thread's state when it is the
// calling thread, else null. Returns the write's own result, or 6 when the file could not be opened,
// flushed or closed.
crcrash_error_t crcrash_write_report(crcrash_handler_context_t* context, thread_t crashed_thread,
                                     const crcrash_async_thread_state_t* state,
                                     const crcrash_log_signal_info_t* signal_info);
