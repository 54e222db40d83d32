// The simplest frame reader: follows the chain of saved frame pointers. Each frame record is the caller's
// frame pointer followed by the return address.

#include "crframe_cursor.h"

namespace pc = platform::crash;

crframe_error_t crframe_cursor_read_frame_ptr(task_t task, crcrash_async_image_list_t*,
                                              const crcrash_async_thread_state_t* current_frame,
                                              const crcrash_async_thread_state_t* previous_frame,
                                              crcrash_async_thread_state_t* next_frame) {
  if (!crcrash_async_thread_state_has_reg(current_frame, CRCRASH_REG_FP)) {
    CRCRASH_DEBUG("The frame pointer is unavailable, can't read saved register.");
    return CRFRAME_ERR_BADFRAME;
  }
  std::uint64_t fp = crcrash_async_thread_state_get_reg(current_frame, CRCRASH_REG_FP);
  if (fp == 0) return CRFRAME_ERR_NOFRAME;
  if (previous_frame != nullptr && crcrash_async_thread_state_has_reg(previous_frame, CRCRASH_REG_FP)) {
    std::uint64_t previous_fp = crcrash_async_thread_state_get_reg(previous_frame, CRCRASH_REG_FP);
    bool wrong = current_frame->stack_direction == CRCRASH_ASYNC_STACK_DIRECTION_DOWN ? fp < previous_fp
                                                                                      : fp > previous_fp;
    if (wrong) {
      CRCRASH_DEBUG("Stack growing in wrong direction, terminating stack walk");
      return CRFRAME_ERR_BADFRAME;
    }
  }
  const bool wide = crcrash_async_thread_state_get_greg_size(current_frame) == 8;
  std::uint64_t words[2] = {0, 0};
  std::uint32_t narrow[2] = {0, 0};
  kern_return_t kr = wide ? crcrash_async_task_vm_read(task, fp, words, sizeof words)
                          : crcrash_async_task_vm_read(task, fp, narrow, sizeof narrow);
  if (kr != pc::KERN_SUCCESS) {
    CRCRASH_DEBUG("Failed to read frame: %d", kr);
    return CRFRAME_ERR_BADFRAME;
  }
  if (!wide) {
    words[0] = narrow[0];
    words[1] = narrow[1];
  }
  crcrash_async_thread_state_copy(next_frame, current_frame);
  crcrash_async_thread_state_clear_all_regs(next_frame);
  crcrash_async_thread_state_set_reg(next_frame, CRCRASH_REG_FP, words[0]);
  crcrash_async_thread_state_set_reg(next_frame, CRCRASH_REG_IP, words[1]);
  return CRFRAME_ERR_NONE;
}
