// Frame reader over an image's DWARF call-frame information (__TEXT,__eh_frame; .eh_frame on ELF).

#include "crframe_dwarf_unwind.h"

#include "crcrash_async_dwarf_cfa_state.h"

#define READER_LOG(...) crcrash_async_debug_log("crframe_cursor_read_dwarf_unwind_int", __LINE__, __VA_ARGS__)

namespace {

using ull = unsigned long long;

template <typename machine_ptr, typename machine_ptr_s>
crframe_error_t read_dwarf_unwind_int(task_t task, crcrash_async_macho_t* image,
                                      const crcrash_async_mobject_t* section, bool debug_frame,
                                      std::uint64_t hint, std::uint64_t pc, std::uint64_t lookup_pc,
                                      const crcrash_async_thread_state_t* current_frame,
                                      crcrash_async_thread_state_t* next_frame) {
  const crcrash_async_byteorder_t* byteorder = crcrash_async_macho_byteorder(image);
  gnu_ehptr_reader<machine_ptr> ptr_reader(byteorder);
  dwarf_cfa_state<machine_ptr, machine_ptr_s> state;

  cfi_section_reader reader(section, byteorder, sizeof(machine_ptr) == 8, debug_frame);
  crcrash_async_dwarf_fde_info_t fde{};
  // The search decodes the FDE's CIE on the way, with a pointer reader like ours; it is used as is.
  crcrash_async_dwarf_cie_info_t cie;
  crcrash_error_t err = reader.find_fde(hint, lookup_pc, &fde, &cie);
  if (err != CRCRASH_ERR_NONE && hint != 0) {
    fde = {};
    err = reader.find_fde(0, lookup_pc, &fde, &cie);
  }
  if (err != CRCRASH_ERR_NONE) {
    if (fde.cie_failed)
      READER_LOG("Failed to parse CIE at offset of 0x%llx: %d", static_cast<ull>(fde.cie_offset), err);
    return CRFRAME_ERR_NOTSUP;
  }
  const std::uint64_t base = crcrash_async_mobject_base_address(section);
  // Such an FDE could only cover a PC equal to the largest address; no real code lies there.
  if (fde.pc_start == static_cast<machine_ptr>(~machine_ptr(0))) {
    READER_LOG("FDE at offset 0x%llx starts at the end of the address space",
               static_cast<ull>(fde.fde_offset));
    return CRFRAME_ERR_NOTSUP;
  }

  const machine_ptr eval_pc = static_cast<machine_ptr>(lookup_pc);
  const machine_ptr start = static_cast<machine_ptr>(fde.pc_start);
  err = state.eval_program(section, eval_pc, start, &cie, &ptr_reader, byteorder, base,
                           static_cast<std::int64_t>(cie.initial_instructions_offset),
                           cie.initial_instructions_length);
  if (err != CRCRASH_ERR_NONE) {
    READER_LOG("Failed to evaluate CFA at offset of 0x%llx: %d",
               static_cast<ull>(cie.initial_instructions_offset), err);
    return CRFRAME_ERR_NOTSUP;
  }
  err = state.eval_program(section, eval_pc, start, &cie, &ptr_reader, byteorder, base,
                           static_cast<std::int64_t>(fde.instructions_offset), fde.instructions_length);
  if (err != CRCRASH_ERR_NONE) {
    READER_LOG("Failed to evaluate CFA at offset of 0x%llx: %d", static_cast<ull>(fde.instructions_offset),
               err);
    return CRFRAME_ERR_NOTSUP;
  }
  err = state.apply_state(task, &cie, current_frame, byteorder, next_frame);
  if (err != CRCRASH_ERR_NONE) {
    // Not found: the outermost frame, or a register the frame lacks (already logged by apply_state).
    if (err != CRCRASH_ERR_NOTFOUND) {
      READER_LOG("Failed to apply CFA state for PC 0x%llx: %d", static_cast<ull>(pc), err);
    }
    return CRFRAME_ERR_NOFRAME;
  }
  // The caller of a signal frame resumes at the interrupted instruction itself, not after a call.
  if (cie.signal_frame) next_frame->valid_regs |= CRFRAME_THREAD_STATE_EXACT_PC;
  return CRFRAME_ERR_NONE;
}

crframe_error_t read_dwarf_unwind(task_t task, crcrash_async_image_list_t* image_list,
                                  const crcrash_async_thread_state_t* current_frame,
                                  const crcrash_async_thread_state_t* previous_frame,
                                  crcrash_async_thread_state_t* next_frame, bool use_search_table) {
  if (!crcrash_async_thread_state_has_reg(current_frame, CRCRASH_REG_IP)) {
    READER_LOG("Frame is missing a valid IP register, skipping DWARF unwind");
    return CRFRAME_ERR_BADFRAME;
  }
  const std::uint64_t pc = crcrash_async_thread_state_get_reg(current_frame, CRCRASH_REG_IP);
  const std::uint64_t lookup_pc = crframe_cursor_lookup_pc(current_frame, previous_frame);

  if (image_list == nullptr) return CRFRAME_ERR_NOTSUP;  // no images known, nothing to look up
  crcrash_nasync_image_list_set_reading(image_list, true);
  crframe_error_t result = CRFRAME_ERR_NOTSUP;
  crcrash_async_macho_t* image = crcrash_nasync_image_containing_address(image_list, lookup_pc);
  if (image == nullptr) {
    READER_LOG("Could not find a loaded image for the current frame pc: 0x%llx", static_cast<ull>(pc));
    crcrash_nasync_image_list_set_reading(image_list, false);
    return CRFRAME_ERR_NOTSUP;
  }
  if (!image->m64 && lookup_pc > 0xFFFFFFFFull) {
    crcrash_nasync_image_list_set_reading(image_list, false);
    return CRFRAME_ERR_NOTSUP;
  }

  crcrash_async_mobject_t section;
  bool debug_frame = false;
  if (crcrash_async_macho_map_section(image, "__TEXT", "__eh_frame", &section) != CRCRASH_ERR_NONE) {
    if (crcrash_async_macho_map_section(image, "__DWARF", "__debug_frame", &section) != CRCRASH_ERR_NONE) {
      crcrash_nasync_image_list_set_reading(image_list, false);
      return CRFRAME_ERR_NOFRAME;
    }
    debug_frame = true;
  }

  std::uint64_t hint = 0;
  if (!use_search_table || debug_frame ||
      crcrash_async_macho_find_eh_frame_fde(image, lookup_pc, &hint) != CRCRASH_ERR_NONE ||
      hint >= crcrash_async_mobject_length(&section)) {
    hint = 0;
  }
  if (image->m64) {
    result = read_dwarf_unwind_int<std::uint64_t, std::int64_t>(task, image, &section, debug_frame, hint, pc,
                                                                lookup_pc, current_frame, next_frame);
  } else {
    result = read_dwarf_unwind_int<std::uint32_t, std::int32_t>(task, image, &section, debug_frame, hint, pc,
                                                                lookup_pc, current_frame, next_frame);
  }
  crcrash_async_mobject_free(&section);
  crcrash_nasync_image_list_set_reading(image_list, false);
  return result;
}

}  // namespace

crframe_error_t crframe_cursor_read_dwarf_unwind(task_t task, crcrash_async_image_list_t* image_list,
                                                 const crcrash_async_thread_state_t* current_frame,
                                                 const crcrash_async_thread_state_t* previous_frame,
                                                 crcrash_async_thread_state_t* next_frame) {
  return read_dwarf_unwind(task, image_list, current_frame, previous_frame, next_frame, true);
}

crframe_error_t crframe_cursor_read_dwarf_unwind_linear(task_t task, crcrash_async_image_list_t* image_list,
                                                        const crcrash_async_thread_state_t* current_frame,
                                                        const crcrash_async_thread_state_t* previous_frame,
                                                        crcrash_async_thread_state_t* next_frame) {
  return read_dwarf_unwind(task, image_list, current_frame, previous_frame, next_frame, false);
}

// The log macro stays within this file (the library compiles several sources to a unit).
#undef READER_LOG
