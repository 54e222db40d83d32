// Frame reader over an image's DWARF call-frame information (__TEXT,__eh_frame; .eh_frame on ELF). Not
// available yet: every frame goes on to the next reader of the table.

#include "crframe_cursor.h"

crframe_error_t crframe_cursor_read_dwarf_unwind(task_t, crcrash_async_image_list_t*,
                                                 const crcrash_async_thread_state_t*,
                                                 const crcrash_async_thread_state_t*,
                                                 crcrash_async_thread_state_t*) {
  return CRFRAME_ERR_NOTSUP;
}
