#include "crframe_cursor.h"

#include <iterator>

namespace pc = platform::crash;

namespace {
const crframe_cursor_frame_reader_t kStandardReaders[] = {
    crframe_cursor_read_compact_unwind,
    crframe_cursor_read_dwarf_unwind,
    crframe_cursor_read_frame_ptr,
};
}  // namespace

const char* crframe_strerror(crframe_error_t error) {
  switch (error) {
    case CRFRAME_ERR_NONE:
      return "No error";
    case CRFRAME_ERR_UNKNOWN:
      return "Unknown error";
    case CRFRAME_ERR_NOFRAME:
      return "No frames are available";
    case CRFRAME_ERR_BADFRAME:
      return "Corrupted frame";
    case CRFRAME_ERR_NOTSUP:
      return "Operation not supported";
    case CRFRAME_ERR_INVAL:
      return "Invalid argument";
    case CRFRAME_ERR_INTERNAL:
      return "Internal error";
    case CRFRAME_ERR_BADREG:
      return "Invalid register";
  }
  return "Unhandled error code";
}

crframe_error_t crframe_cursor_init(crframe_cursor_t* cursor, task_t task,
                                    const crcrash_async_thread_state_t* state,
                                    crcrash_async_image_list_t* image_list) {
  cursor->task = task;
  pc::mach_port_mod_refs(task, 1);
  cursor->image_list = image_list;
  cursor->depth = 0;
  crcrash_async_memset(&cursor->prev_frame, 0, sizeof cursor->prev_frame);
  crcrash_async_thread_state_copy(&cursor->frame, state);
  return CRFRAME_ERR_NONE;
}

crframe_error_t crframe_cursor_thread_init(crframe_cursor_t* cursor, task_t task, thread_t thread,
                                           crcrash_async_image_list_t* image_list) {
  crcrash_async_thread_state_t state;
  crcrash_error_t err = crcrash_async_thread_state_mach_thread_init(&state, thread);
  if (err != CRCRASH_ERR_NONE) return err;
  return crframe_cursor_init(cursor, task, &state, image_list);
}

crframe_error_t crframe_cursor_next_with_readers(crframe_cursor_t* cursor,
                                                 const crframe_cursor_frame_reader_t* readers,
                                                 std::size_t count) {
  if (cursor->depth == 0) {
    cursor->depth = 1;
    return CRFRAME_ERR_NONE;
  }
  const crcrash_async_thread_state_t* previous = cursor->depth == 1 ? nullptr : &cursor->prev_frame;
  if (count == 0) return CRFRAME_ERR_INVAL;
  crcrash_async_thread_state_t next;
  crframe_error_t err = CRFRAME_ERR_UNKNOWN;
  for (std::size_t i = 0; i < count; ++i) {
    err = readers[i](cursor->task, cursor->image_list, &cursor->frame, previous, &next);
    if (err == CRFRAME_ERR_NONE) break;
  }
  if (err != CRFRAME_ERR_NONE) return err;
  if (!crcrash_async_thread_state_has_reg(&next, CRCRASH_REG_IP)) {
    CRCRASH_DEBUG("Missing expected IP value in successfully read frame");
    return CRFRAME_ERR_NOFRAME;
  }
  // A return address in the first page ends the stack (the outermost frame's zero, or garbage).
  if (crcrash_async_thread_state_get_reg(&next, CRCRASH_REG_IP) <= 0x1000) return CRFRAME_ERR_NOFRAME;
  crcrash_async_thread_state_copy(&cursor->prev_frame, &cursor->frame);
  crcrash_async_thread_state_copy(&cursor->frame, &next);
  cursor->depth++;
  return CRFRAME_ERR_NONE;
}

crframe_error_t crframe_cursor_next(crframe_cursor_t* cursor) {
  return crframe_cursor_next_with_readers(cursor, kStandardReaders, std::size(kStandardReaders));
}

crframe_error_t crframe_cursor_get_reg(const crframe_cursor_t* cursor, crcrash_regnum_t regnum,
                                       std::uint64_t* value) {
  if (!crcrash_async_thread_state_has_reg(&cursor->frame, regnum)) return CRFRAME_ERR_NOTSUP;
  *value = crcrash_async_thread_state_get_reg(&cursor->frame, regnum);
  return CRFRAME_ERR_NONE;
}

const char* crframe_cursor_get_regname(const crframe_cursor_t* cursor, crcrash_regnum_t regnum) {
  return crcrash_async_thread_state_get_regname(&cursor->frame, regnum);
}

std::size_t crframe_cursor_get_regcount(const crframe_cursor_t* cursor) {
  return crcrash_async_thread_state_get_reg_count(&cursor->frame);
}

void crframe_cursor_free(crframe_cursor_t* cursor) {
  if (cursor->task != pc::MACH_PORT_NULL) pc::mach_port_mod_refs(cursor->task, -1);
  cursor->task = pc::MACH_PORT_NULL;
}
