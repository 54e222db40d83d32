#include "crcrash_write_report.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

crcrash_error_t crcrash_write_report(crcrash_handler_context_t* context, thread_t crashed_thread,
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
