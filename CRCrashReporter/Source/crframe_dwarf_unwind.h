#pragma once
// The frame reader over DWARF call-frame information: .eh_frame of an ELF image (found through its
// .eh_frame_hdr search table), __eh_frame or __debug_frame of a Mach-O image.

#include "crframe_cursor.h"

// Like crframe_cursor_read_dwarf_unwind, but always scans the section from its first entry instead of
// starting at the entry the image's search table names. Kept for measuring and cross-checking the table.
crframe_error_t crframe_cursor_read_dwarf_unwind_linear(task_t task, crcrash_async_image_list_t* image_list,
                                                        const crcrash_async_thread_state_t* current_frame,
                                                        const crcrash_async_thread_state_t* previous_frame,
                                                        crcrash_async_thread_state_t* next_frame);
