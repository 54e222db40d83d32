#pragma once
// The frame cursor: walks one thread's stack, one register set after another, by asking a table of frame
// readers in order. The standard table is compact unwind, then DWARF call-frame information, then the
// frame-pointer chain.

#include <cstdint>

#include "crcrash_async_image_list.h"
#include "crcrash_async_thread_state.h"

typedef std::uint32_t crframe_error_t;
enum : crframe_error_t {
  CRFRAME_ERR_NONE = 0,
  CRFRAME_ERR_UNKNOWN = 1,
  CRFRAME_ERR_NOFRAME = 2,  // the normal end of a stack
  CRFRAME_ERR_BADFRAME = 3,
  CRFRAME_ERR_NOTSUP = 4,
  CRFRAME_ERR_INVAL = 5,
  CRFRAME_ERR_INTERNAL = 6,
  CRFRAME_ERR_BADREG = 7,
};

const char* crframe_strerror(crframe_error_t error);

struct crframe_cursor_t {
  task_t task;
  crcrash_async_image_list_t* image_list;
  std::uint32_t depth;
  crcrash_async_thread_state_t prev_frame;
  crcrash_async_thread_state_t frame;
};

// A frame reader fills `next_frame` from `current_frame` and returns CRFRAME_ERR_NONE, or returns an error
// and leaves `next_frame` undefined. `previous_frame` is null on the first step after the initial frame.
// Readers are async-safe: no allocation, no lock, all memory reads through task reads or memory objects.
// The image list is in reading mode for the whole walk (the caller brackets it).
typedef crframe_error_t (*crframe_cursor_frame_reader_t)(task_t task, crcrash_async_image_list_t* image_list,
                                                         const crcrash_async_thread_state_t* current_frame,
                                                         const crcrash_async_thread_state_t* previous_frame,
                                                         crcrash_async_thread_state_t* next_frame);

crframe_error_t crframe_cursor_init(crframe_cursor_t* cursor, task_t task,
                                    const crcrash_async_thread_state_t* state,
                                    crcrash_async_image_list_t* image_list);
crframe_error_t crframe_cursor_thread_init(crframe_cursor_t* cursor, task_t task, thread_t thread,
                                           crcrash_async_image_list_t* image_list);
crframe_error_t crframe_cursor_next_with_readers(crframe_cursor_t* cursor,
                                                 const crframe_cursor_frame_reader_t* readers,
                                                 std::size_t count);
// The standard table: crframe_cursor_read_compact_unwind, crframe_cursor_read_dwarf_unwind,
// crframe_cursor_read_frame_ptr.
crframe_error_t crframe_cursor_next(crframe_cursor_t* cursor);
crframe_error_t crframe_cursor_get_reg(const crframe_cursor_t* cursor, crcrash_regnum_t regnum,
                                       std::uint64_t* value);
const char* crframe_cursor_get_regname(const crframe_cursor_t* cursor, crcrash_regnum_t regnum);
std::size_t crframe_cursor_get_regcount(const crframe_cursor_t* cursor);
void crframe_cursor_free(crframe_cursor_t* cursor);

// The readers of the standard table, each in its own source file.
crframe_error_t crframe_cursor_read_compact_unwind(task_t task, crcrash_async_image_list_t* image_list,
                                                   const crcrash_async_thread_state_t* current_frame,
                                                   const crcrash_async_thread_state_t* previous_frame,
                                                   crcrash_async_thread_state_t* next_frame);
crframe_error_t crframe_cursor_read_dwarf_unwind(task_t task, crcrash_async_image_list_t* image_list,
                                                 const crcrash_async_thread_state_t* current_frame,
                                                 const crcrash_async_thread_state_t* previous_frame,
                                                 crcrash_async_thread_state_t* next_frame);
crframe_error_t crframe_cursor_read_frame_ptr(task_t task, crcrash_async_image_list_t* image_list,
                                              const crcrash_async_thread_state_t* current_frame,
                                              const crcrash_async_thread_state_t* previous_frame,
                                              crcrash_async_thread_state_t* next_frame);
