// Frame reader over an image's compact unwind table (__TEXT,__unwind_info). ELF images have none and
// go on to the DWARF reader.

#include "crcrash_async_compact_unwind.h"
#include "crcrash_async_dwarf_cfa_state.h"
#include "crframe_cursor.h"

#define READER_LOG(...) crcrash_async_debug_log("crframe_cursor_read_compact_unwind", __LINE__, __VA_ARGS__)

namespace {
using ull = unsigned long long;
}

crframe_error_t crframe_cursor_read_compact_unwind(task_t task, crcrash_async_image_list_t* image_list,
                                                   const crcrash_async_thread_state_t* current_frame,
                                                   const crcrash_async_thread_state_t* previous_frame,
                                                   crcrash_async_thread_state_t* next_frame) {
  if (!crcrash_async_thread_state_has_reg(current_frame, CRCRASH_REG_IP)) {
    READER_LOG("Frame is missing a valid IP register, skipping compact unwind encoding");
    return CRFRAME_ERR_BADFRAME;
  }
  const std::uint64_t pc = crcrash_async_thread_state_get_reg(current_frame, CRCRASH_REG_IP);
  const std::uint64_t lookup_pc = crframe_cursor_lookup_pc(current_frame, previous_frame);

  if (image_list == nullptr) return CRFRAME_ERR_NOTSUP;  // no images known, nothing to look up
  crcrash_nasync_image_list_set_reading(image_list, true);
  crcrash_async_macho_t* image = crcrash_nasync_image_containing_address(image_list, lookup_pc);
  if (image == nullptr) {
    READER_LOG("Could not find a loaded image for the current frame pc: 0x%llx", static_cast<ull>(pc));
    crcrash_nasync_image_list_set_reading(image_list, false);
    return CRFRAME_ERR_NOTSUP;
  }

  crcrash_async_mobject_t section;
  crcrash_error_t err = crcrash_async_macho_map_section(image, "__TEXT", "__unwind_info", &section);
  if (err != CRCRASH_ERR_NONE) {
    if (err != CRCRASH_ERR_NOTFOUND) {
      READER_LOG("Could not map the compact unwind info section for image %s: %d", image->name, err);
    }
    crcrash_nasync_image_list_set_reading(image_list, false);
    return CRFRAME_ERR_NOTSUP;
  }

  crframe_error_t result = CRFRAME_ERR_NONE;
  crcrash_async_cfe_reader_t reader;
  std::uint64_t function_base = 0;
  std::uint32_t encoding = 0;
  crcrash_async_cfe_entry_t entry;
  const platform::crash::cpu_type_t cpu_type = crcrash_async_macho_cpu_type(image);
  if ((err = crcrash_async_cfe_reader_init(&reader, &section, cpu_type)) != CRCRASH_ERR_NONE) {
    READER_LOG("Could not parse the compact unwind info section for image '%s': %d", image->name, err);
    result = CRFRAME_ERR_INVAL;
  } else if ((err = crcrash_async_cfe_reader_find_pc(&reader, lookup_pc - image->header_addr, &function_base,
                                                     &encoding)) != CRCRASH_ERR_NONE) {
    READER_LOG("Did not find CFE entry for PC 0x%llx: %d", static_cast<ull>(pc), err);
    result = CRFRAME_ERR_NOTSUP;
  } else if ((err = crcrash_async_cfe_entry_init(&entry, cpu_type, encoding)) != CRCRASH_ERR_NONE) {
    READER_LOG("Could not decode CFE encoding 0x%x for PC 0x%llx: %d", encoding, static_cast<ull>(pc), err);
    result = CRFRAME_ERR_NOTSUP;
  } else if (crcrash_async_cfe_entry_type(&entry) == CRCRASH_ASYNC_CFE_TYPE_NONE) {
    result = CRFRAME_ERR_NOFRAME;
  } else if (image->header_addr + function_base < image->header_addr) {
    READER_LOG(
        "The provided function base (0x%llx) plus header address (0x%llx) will overflow cr_vm_address_t",
        static_cast<ull>(function_base), static_cast<ull>(image->header_addr));
    result = CRFRAME_ERR_INVAL;
  } else if ((err = crcrash_async_cfe_entry_apply(task, image->header_addr + function_base, current_frame,
                                                  &entry, next_frame)) != CRCRASH_ERR_NONE) {
    READER_LOG("Failed to apply CFE encoding 0x%x for PC 0x%llx: %d", encoding, static_cast<ull>(pc), err);
    result = CRFRAME_ERR_NOFRAME;
  }
  crcrash_async_cfe_reader_free(&reader);
  crcrash_async_mobject_free(&section);
  crcrash_nasync_image_list_set_reading(image_list, false);
  return result;
}

// The log macro stays within this file (the library compiles several sources to a unit).
#undef READER_LOG
