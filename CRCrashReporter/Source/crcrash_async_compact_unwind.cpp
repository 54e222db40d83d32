#include "crcrash_async_compact_unwind.h"

#include <cstdlib>

#include "crcrash_async_dwarf_encoding.h"

#define CFE_LOG(...) crcrash_async_debug_log(__func__, __LINE__, __VA_ARGS__)

namespace pc = platform::crash;

namespace {

using ull = unsigned long long;

constexpr std::uint32_t kPageRegular = 2;
constexpr std::uint32_t kPageCompressed = 3;

constexpr std::uint32_t kModeMask = 0x0F000000;

// Reads a little-endian uint32 at `offset` from the section start.
bool read32(const crcrash_async_cfe_reader_t* reader, std::uint64_t offset, std::uint32_t* value) {
  return crcrash_async_mobject_read_uint32(reader->mobj, reader->byteorder,
                                           crcrash_async_mobject_base_address(reader->mobj),
                                           static_cast<std::int64_t>(offset), value) == CRCRASH_ERR_NONE;
}

bool read16(const crcrash_async_cfe_reader_t* reader, std::uint64_t offset, std::uint16_t* value) {
  return crcrash_async_mobject_read_uint16(reader->mobj, reader->byteorder,
                                           crcrash_async_mobject_base_address(reader->mobj),
                                           static_cast<std::int64_t>(offset), value) == CRCRASH_ERR_NONE;
}

// Whether [offset, offset + length) of the section lies inside it.
bool section_holds(const crcrash_async_cfe_reader_t* reader, std::uint64_t offset, std::uint64_t length) {
  const std::uint64_t size = crcrash_async_mobject_length(reader->mobj);
  return offset <= size && length <= size - offset;
}

// Binary search over `count` sorted keys for the last one not above `pc`; false when pc is below all.
template <typename KeyAt>
bool search_last_not_above(std::uint32_t count, std::uint64_t pc, KeyAt key_at, std::uint32_t* found) {
  if (count == 0 || pc < key_at(0)) return false;
  std::uint32_t lo = 0, hi = count - 1;
  while (lo < hi) {
    const std::uint32_t mid = lo + (hi - lo + 1) / 2;
    if (key_at(mid) <= pc) {
      lo = mid;
    } else {
      hi = mid - 1;
    }
  }
  *found = lo;
  return true;
}

crcrash_error_t map_register(pc::cpu_type_t cpu_type, std::uint32_t compact, std::uint32_t* reg) {
  static const std::uint32_t kX86_64[] = {CRCRASH_ASYNC_CFE_NO_REGISTER,
                                          CRCRASH_X86_64_RBX,
                                          CRCRASH_X86_64_R12,
                                          CRCRASH_X86_64_R13,
                                          CRCRASH_X86_64_R14,
                                          CRCRASH_X86_64_R15,
                                          CRCRASH_X86_64_RBP};
  static const std::uint32_t kX86[] = {CRCRASH_ASYNC_CFE_NO_REGISTER,
                                       CRCRASH_X86_EBX,
                                       CRCRASH_X86_ECX,
                                       CRCRASH_X86_EDX,
                                       CRCRASH_X86_EDI,
                                       CRCRASH_X86_ESI,
                                       CRCRASH_X86_EBP};
  const std::uint32_t* table;
  if (cpu_type == pc::CPU_TYPE_X86_64) {
    table = kX86_64;
  } else if (cpu_type == pc::CPU_TYPE_X86) {
    table = kX86;
  } else {
    crcrash_async_debug_log("crcrash_async_map_register_name", __LINE__,
                            "Requested register mapping for unknown cpu type %u",
                            static_cast<unsigned>(cpu_type));
    return CRCRASH_ERR_NOTSUP;
  }
  if (compact > 6) {
    crcrash_async_debug_log("crcrash_async_map_register_name", __LINE__,
                            "Requested register mapping for unknown register %d", static_cast<int>(compact));
    return CRCRASH_ERR_INVAL;
  }
  *reg = table[compact];
  return CRCRASH_ERR_NONE;
}

}  // namespace

crcrash_error_t crcrash_async_cfe_reader_init(crcrash_async_cfe_reader_t* reader,
                                              const crcrash_async_mobject_t* mobj, pc::cpu_type_t cpu_type) {
  if (cpu_type != pc::CPU_TYPE_X86 && cpu_type != pc::CPU_TYPE_X86_64 && cpu_type != CRCRASH_CPU_TYPE_ARM64) {
    CFE_LOG("Unsupported CPU type: %u", static_cast<unsigned>(cpu_type));
    return CRCRASH_ERR_NOTSUP;
  }
  reader->mobj = mobj;
  reader->cpu_type = cpu_type;
  reader->byteorder = crcrash_async_byteorder_little_endian();
  std::uint32_t fields[7];
  for (int i = 0; i < 7; ++i) {
    if (!read32(reader, static_cast<std::uint64_t>(i) * 4, &fields[i])) {
      CFE_LOG("Could not map the unwind info section header");
      return CRCRASH_ERR_INVAL;
    }
  }
  reader->header = {fields[0], fields[1], fields[2], fields[3], fields[4], fields[5], fields[6]};
  if (reader->header.version != 1) {
    CFE_LOG("Unsupported CFE version: %u", reader->header.version);
    return CRCRASH_ERR_NOTSUP;
  }
  return CRCRASH_ERR_NONE;
}

void crcrash_async_cfe_reader_free(crcrash_async_cfe_reader_t*) {}

crcrash_error_t crcrash_async_cfe_reader_find_pc(crcrash_async_cfe_reader_t* reader, std::uint64_t pc,
                                                 std::uint64_t* function_base, std::uint32_t* encoding) {
  const auto& h = reader->header;
  if (!section_holds(reader, h.common_encodings_offset,
                     static_cast<std::uint64_t>(h.common_encodings_count) * 4)) {
    CFE_LOG("The declared common table lies outside the mapped CFE range");
    return CRCRASH_ERR_INVAL;
  }
  if (h.index_count == 0) {
    CFE_LOG("CFE index contains no entries");
    return CRCRASH_ERR_NOTFOUND;
  }
  const std::uint32_t searched = h.index_count - 1;  // the last entry is the end sentinel
  if (!section_holds(reader, h.index_offset, static_cast<std::uint64_t>(searched) * 12)) {
    CFE_LOG("The declared entries table lies outside the mapped CFE range");
    return CRCRASH_ERR_INVAL;
  }
  auto index_key = [&](std::uint32_t i) -> std::uint64_t {
    std::uint32_t v = 0;
    read32(reader, h.index_offset + static_cast<std::uint64_t>(i) * 12, &v);
    return v;
  };
  std::uint32_t first_level = 0;
  if (!search_last_not_above(searched, pc, index_key, &first_level)) {
    CFE_LOG("Could not find a first level CFE entry for pc=%llx", static_cast<ull>(pc));
    return CRCRASH_ERR_NOTFOUND;
  }
  const std::uint64_t entry_offset = h.index_offset + static_cast<std::uint64_t>(first_level) * 12;
  std::uint32_t first_function = 0, page = 0;
  read32(reader, entry_offset, &first_function);
  read32(reader, entry_offset + 4, &page);

  std::uint32_t kind;
  if (!read32(reader, page, &kind)) {
    CFE_LOG("The second-level page header lies outside the mapped CFE range");
    return CRCRASH_ERR_INVAL;
  }
  if (kind == kPageRegular) {
    std::uint16_t entries_offset = 0, count = 0;
    if (!section_holds(reader, page, 8) || !read16(reader, page + 4, &entries_offset) ||
        !read16(reader, page + 6, &count)) {
      CFE_LOG("The second-level page header lies outside the mapped CFE range");
      return CRCRASH_ERR_INVAL;
    }
    const std::uint64_t entries = static_cast<std::uint64_t>(page) + entries_offset;
    if (!section_holds(reader, entries, static_cast<std::uint64_t>(count) * 8)) {
      CFE_LOG("CFE entries table lies outside the mapped CFE range");
      return CRCRASH_ERR_INVAL;
    }
    auto key = [&](std::uint32_t i) -> std::uint64_t {
      std::uint32_t v = 0;
      read32(reader, entries + static_cast<std::uint64_t>(i) * 8, &v);
      return v;
    };
    std::uint32_t found = 0;
    if (!search_last_not_above(count, pc, key, &found)) {
      CFE_LOG("Could not find a second level regular CFE entry for pc=%llx", static_cast<ull>(pc));
      return CRCRASH_ERR_NOTFOUND;
    }
    std::uint32_t function = 0, enc = 0;
    read32(reader, entries + static_cast<std::uint64_t>(found) * 8, &function);
    read32(reader, entries + static_cast<std::uint64_t>(found) * 8 + 4, &enc);
    *function_base = function;
    *encoding = enc;
    return CRCRASH_ERR_NONE;
  }
  if (kind == kPageCompressed) {
    std::uint16_t entries_offset = 0, count = 0, encodings_offset = 0, encodings_count = 0;
    if (!section_holds(reader, page, 12) || !read16(reader, page + 4, &entries_offset) ||
        !read16(reader, page + 6, &count) || !read16(reader, page + 8, &encodings_offset) ||
        !read16(reader, page + 10, &encodings_count)) {
      CFE_LOG("The second-level page header lies outside the mapped CFE range");
      return CRCRASH_ERR_INVAL;
    }
    const std::uint64_t entries = static_cast<std::uint64_t>(page) + entries_offset;
    if (!section_holds(reader, entries, static_cast<std::uint64_t>(count) * 4)) {
      CFE_LOG("CFE entries table lies outside the mapped CFE range");
      return CRCRASH_ERR_INVAL;
    }
    auto key = [&](std::uint32_t i) -> std::uint64_t {
      std::uint32_t v = 0;
      read32(reader, entries + static_cast<std::uint64_t>(i) * 4, &v);
      return static_cast<std::uint64_t>(first_function) + (v & 0xFFFFFF);
    };
    std::uint32_t found = 0;
    if (!search_last_not_above(count, pc, key, &found)) {
      CFE_LOG("Could not find a second level compressed CFE entry for pc=%llx", static_cast<ull>(pc));
      return CRCRASH_ERR_NOTFOUND;
    }
    std::uint32_t raw = 0;
    read32(reader, entries + static_cast<std::uint64_t>(found) * 4, &raw);
    *function_base = static_cast<std::uint64_t>(first_function) + (raw & 0xFFFFFF);
    const std::uint32_t index = raw >> 24;
    if (index < h.common_encodings_count) {
      read32(reader, h.common_encodings_offset + static_cast<std::uint64_t>(index) * 4, encoding);
      return CRCRASH_ERR_NONE;
    }
    const std::uint64_t local = static_cast<std::uint64_t>(page) + encodings_offset;
    if (!section_holds(reader, local, static_cast<std::uint64_t>(encodings_count) * 4)) {
      CFE_LOG("CFE compressed encodings table lies outside the mapped CFE range");
      return CRCRASH_ERR_INVAL;
    }
    const std::uint8_t local_index = static_cast<std::uint8_t>(index - h.common_encodings_count);
    if (local_index >= encodings_count) {
      CFE_LOG("Encoding index lies outside the second level encoding table");
      return CRCRASH_ERR_INVAL;
    }
    read32(reader, local + static_cast<std::uint64_t>(local_index) * 4, encoding);
    return CRCRASH_ERR_NONE;
  }
  CFE_LOG("Unsupported second-level CFE table kind: 0x%x at 0x%x", kind, page);
  return CRCRASH_ERR_INVAL;
}

// ---- Register permutation ----

std::uint32_t crcrash_async_cfe_register_encode(const std::uint32_t registers[], std::uint32_t count) {
  if (count > 6) {
    CFE_LOG("Assertion failed: count <= 6");
    abort();
  }
  std::uint32_t renumbered[6] = {};
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint32_t smaller = 0;
    for (std::uint32_t j = 0; j < i; ++j) {
      if (registers[j] < registers[i]) smaller++;
    }
    renumbered[i] = registers[i] - 1 - smaller;
  }
  std::uint32_t p = 0;
  switch (count) {
    case 6:
    case 5:
      p = 120 * renumbered[0] + 24 * renumbered[1] + 6 * renumbered[2] + 2 * renumbered[3] + renumbered[4];
      break;
    case 4:
      p = 60 * renumbered[0] + 12 * renumbered[1] + 3 * renumbered[2] + renumbered[3];
      break;
    case 3:
      p = 20 * renumbered[0] + 4 * renumbered[1] + renumbered[2];
      break;
    case 2:
      p = 5 * renumbered[0] + renumbered[1];
      break;
    case 1:
      p = renumbered[0];
      break;
    default:
      break;
  }
  if ((p & 0x3FF) != p) {
    CFE_LOG("Assertion failed: (permutation & 0x3FF) == permutation");
    abort();
  }
  return p;
}

crcrash_error_t crcrash_async_cfe_register_decode(std::uint32_t permutation, std::uint32_t count,
                                                  std::uint32_t registers[]) {
  if (count >= 7) {
    CFE_LOG("Register permutation decoding attempted with an unsupported count of %u", count);
    return CRCRASH_ERR_INVAL;
  }
  std::uint32_t digits[6] = {};
  const std::uint32_t p = permutation;
  switch (count) {
    case 6:
    case 5:
      digits[0] = p / 120;
      digits[1] = (p % 120) / 24;
      digits[2] = (p % 24) / 6;
      digits[3] = (p % 6) / 2;
      digits[4] = p % 2;
      digits[5] = 0;
      break;
    case 4:
      digits[0] = p / 60;
      digits[1] = (p % 60) / 12;
      digits[2] = (p % 12) / 3;
      digits[3] = p % 3;
      break;
    case 3:
      digits[0] = p / 20;
      digits[1] = (p % 20) / 4;
      digits[2] = p % 4;
      break;
    case 2:
      digits[0] = p / 5;
      digits[1] = p % 5;
      break;
    case 1:
      digits[0] = p;
      break;
    default:
      return CRCRASH_ERR_NONE;
  }
  bool used[7] = {};
  for (std::uint32_t i = 0; i < count; ++i) {
    // The digit picks among the registers not used yet; one past what is left names no register.
    std::uint32_t left = 6 - i;
    if (digits[i] >= left) {
      CFE_LOG("Register permutation digit %u is out of range for %u remaining registers", digits[i], left);
      return CRCRASH_ERR_INVAL;
    }
    std::uint32_t seen = 0;
    for (std::uint32_t r = 1; r <= 6; ++r) {
      if (used[r]) continue;
      if (seen == digits[i]) {
        registers[i] = r;
        used[r] = true;
        break;
      }
      seen++;
    }
  }
  return CRCRASH_ERR_NONE;
}

// ---- Entries ----

crcrash_error_t crcrash_async_cfe_entry_init(crcrash_async_cfe_entry_t* entry, pc::cpu_type_t cpu_type,
                                             std::uint32_t encoding) {
  *entry = {};
  entry->cpu_type = cpu_type;
  entry->stack_adjust = 0;
  entry->return_address_register = CRCRASH_ASYNC_CFE_NO_REGISTER;
  for (auto& r : entry->register_list) r = CRCRASH_ASYNC_CFE_NO_REGISTER;
  std::int64_t unit;
  if (cpu_type == pc::CPU_TYPE_X86_64) {
    unit = 8;
  } else if (cpu_type == pc::CPU_TYPE_X86) {
    unit = 4;
  } else {
    CFE_LOG("Unsupported CPU type: %u", static_cast<unsigned>(cpu_type));
    return CRCRASH_ERR_NOTSUP;
  }
  const std::uint32_t mode = (encoding & kModeMask) >> 24;
  switch (mode) {
    case 0:
      entry->type = CRCRASH_ASYNC_CFE_TYPE_NONE;
      return CRCRASH_ERR_NONE;
    case 1: {
      entry->type = CRCRASH_ASYNC_CFE_TYPE_FRAME_PTR;
      entry->stack_offset = -static_cast<std::int64_t>((encoding >> 16) & 0xFF) * unit;
      std::uint32_t bits = encoding & 0x7FFF;
      std::uint32_t slot = 0;
      while (bits != 0 && slot < 5) {
        std::uint32_t reg;
        crcrash_error_t err = map_register(cpu_type, bits & 7, &reg);
        if (err != CRCRASH_ERR_NONE) {
          CFE_LOG("Failed to map register value of %x", bits & 7);
          return err;
        }
        entry->register_list[slot++] = reg;
        bits >>= 3;
      }
      entry->register_count = slot;
      return CRCRASH_ERR_NONE;
    }
    case 2:
    case 3: {
      if (mode == 2) {
        entry->type = CRCRASH_ASYNC_CFE_TYPE_FRAMELESS_IMMD;
        entry->stack_offset = static_cast<std::int64_t>((encoding >> 16) & 0xFF) * unit;
      } else {
        entry->type = CRCRASH_ASYNC_CFE_TYPE_FRAMELESS_INDIRECT;
        entry->stack_offset = (encoding >> 16) & 0xFF;
        entry->stack_adjust = static_cast<std::uint32_t>(((encoding >> 13) & 7) * unit);
      }
      const std::uint32_t count = (encoding >> 10) & 7;
      std::uint32_t compact[6] = {};
      crcrash_error_t err = crcrash_async_cfe_register_decode(encoding & 0x3FF, count, compact);
      if (err != CRCRASH_ERR_NONE) {
        CFE_LOG("Failed to decode register list: %d", err);
        return err;
      }
      for (std::uint32_t i = 0; i < count; ++i) {
        err = map_register(cpu_type, compact[i], &entry->register_list[i]);
        if (err != CRCRASH_ERR_NONE) {
          CFE_LOG("Failed to map register value of %x", compact[i]);
          return err;
        }
      }
      entry->register_count = count;
      return CRCRASH_ERR_NONE;
    }
    case 4:
      entry->type = CRCRASH_ASYNC_CFE_TYPE_DWARF;
      entry->stack_offset = encoding & 0xFFFFFF;
      return CRCRASH_ERR_NONE;
    default:
      CFE_LOG("Unexpected entry mode of %x", encoding & kModeMask);
      return CRCRASH_ERR_NOTSUP;
  }
}

void crcrash_async_cfe_entry_free(crcrash_async_cfe_entry_t*) {}

crcrash_async_cfe_type_t crcrash_async_cfe_entry_type(const crcrash_async_cfe_entry_t* entry) {
  return entry->type;
}
std::int64_t crcrash_async_cfe_entry_stack_offset(const crcrash_async_cfe_entry_t* entry) {
  return entry->stack_offset;
}
std::uint32_t crcrash_async_cfe_entry_stack_adjust(const crcrash_async_cfe_entry_t* entry) {
  return entry->stack_adjust;
}
std::uint32_t crcrash_async_cfe_entry_return_address_register(const crcrash_async_cfe_entry_t* entry) {
  return entry->return_address_register;
}
std::uint32_t crcrash_async_cfe_entry_register_count(const crcrash_async_cfe_entry_t* entry) {
  return entry->register_count;
}
void crcrash_async_cfe_entry_register_list(const crcrash_async_cfe_entry_t* entry,
                                           std::uint32_t* register_list) {
  for (std::uint32_t i = 0; i < entry->register_count; ++i) register_list[i] = entry->register_list[i];
}

namespace {

crcrash_error_t read_greg(task_t task, std::uint64_t address, std::uint64_t g, std::uint64_t* value) {
  if (g == 4) {
    std::uint32_t v = 0;
    crcrash_error_t err = crcrash_async_task_memcpy(task, address, 0, &v, 4);
    *value = v;
    return err;
  }
  return crcrash_async_task_memcpy(task, address, 0, value, 8);
}

}  // namespace

crcrash_error_t crcrash_async_cfe_entry_apply(task_t task, std::uint64_t function_address,
                                              const crcrash_async_thread_state_t* thread_state,
                                              const crcrash_async_cfe_entry_t* entry,
                                              crcrash_async_thread_state_t* new_thread_state) {
  const std::uint64_t g = crcrash_async_thread_state_get_greg_size(thread_state);
  *new_thread_state = *thread_state;
  crcrash_async_thread_state_clear_volatile_regs(new_thread_state);

  std::uint64_t base = 0;
  switch (entry->type) {
    case CRCRASH_ASYNC_CFE_TYPE_FRAME_PTR: {
      if (!crcrash_async_thread_state_has_reg(thread_state, CRCRASH_REG_FP)) {
        CFE_LOG("Can't apply FRAME_PTR unwind type without a valid frame pointer");
        return CRCRASH_ERR_NOTFOUND;
      }
      const std::uint64_t fp = crcrash_async_thread_state_get_reg(thread_state, CRCRASH_REG_FP);
      if (fp + 2 * g < fp) {
        CFE_LOG("Current frame pointer falls outside of addressable bounds");
        return CRCRASH_ERR_INVAL;
      }
      std::uint64_t saved_fp = 0, ra = 0;
      crcrash_error_t err = read_greg(task, fp, g, &saved_fp);
      if (err == CRCRASH_ERR_NONE) err = read_greg(task, fp + g, g, &ra);
      if (err != CRCRASH_ERR_NONE) {
        CFE_LOG("Failed to read frame data at address 0x%llx: %d", static_cast<ull>(fp), err);
        return err;
      }
      crcrash_async_thread_state_set_reg(new_thread_state, CRCRASH_REG_SP, fp + 2 * g);
      crcrash_async_thread_state_set_reg(new_thread_state, CRCRASH_REG_FP, saved_fp);
      crcrash_async_thread_state_set_reg(new_thread_state, CRCRASH_REG_IP, ra);
      base = fp + static_cast<std::uint64_t>(entry->stack_offset);
      break;
    }
    case CRCRASH_ASYNC_CFE_TYPE_FRAMELESS_IMMD:
    case CRCRASH_ASYNC_CFE_TYPE_FRAMELESS_INDIRECT: {
      if (!crcrash_async_thread_state_has_reg(thread_state, CRCRASH_REG_SP)) {
        CFE_LOG("Can't apply FRAME_IMMD unwind type without a valid stack pointer");
        return CRCRASH_ERR_NOTFOUND;
      }
      std::uint64_t stack_size = static_cast<std::uint64_t>(entry->stack_offset);
      if (entry->type == CRCRASH_ASYNC_CFE_TYPE_FRAMELESS_INDIRECT) {
        std::uint32_t immediate = 0;
        std::uint64_t immediate_address = 0;
        crcrash_error_t err =
            crcrash_async_address_add_offset(function_address, entry->stack_offset, &immediate_address)
                ? crcrash_async_task_memcpy(task, immediate_address, 0, &immediate, 4)
                : CRCRASH_ERR_NOMEM;
        if (err != CRCRASH_ERR_NONE) {
          CFE_LOG("Failed to read indirect stack size from 0x%llx + 0x%llx: %d",
                  static_cast<ull>(function_address), static_cast<ull>(entry->stack_offset), err);
          return err;
        }
        stack_size = static_cast<std::uint64_t>(immediate) + entry->stack_adjust;
      }
      const std::uint64_t cfa = crcrash_async_thread_state_get_reg(thread_state, CRCRASH_REG_SP) + stack_size;
      crcrash_async_thread_state_set_reg(new_thread_state, CRCRASH_REG_SP, cfa);
      if (entry->return_address_register != CRCRASH_ASYNC_CFE_NO_REGISTER) {
        if (!crcrash_async_thread_state_has_reg(thread_state, entry->return_address_register)) {
          CFE_LOG("The specified return_address_register '%s' is not available",
                  crcrash_async_thread_state_get_regname(thread_state, entry->return_address_register));
          return CRCRASH_ERR_NOTFOUND;
        }
        crcrash_async_thread_state_set_reg(
            new_thread_state, CRCRASH_REG_IP,
            crcrash_async_thread_state_get_reg(thread_state, entry->return_address_register));
        base = cfa - entry->register_count * g;
      } else {
        std::uint64_t ra = 0;
        crcrash_error_t err = read_greg(task, cfa - g, g, &ra);
        if (err != CRCRASH_ERR_NONE) {
          CFE_LOG("Failed to read return address from 0x%llx: %d", static_cast<ull>(cfa - g), err);
          return err;
        }
        crcrash_async_thread_state_set_reg(new_thread_state, CRCRASH_REG_IP, ra);
        base = cfa - g - entry->register_count * g;
      }
      break;
    }
    default:
      return CRCRASH_ERR_NOTSUP;
  }

  for (std::uint32_t i = 0; i < entry->register_count; ++i) {
    const std::uint32_t reg = entry->register_list[i];
    if (reg == CRCRASH_ASYNC_CFE_NO_REGISTER) continue;
    std::uint64_t value = 0;
    crcrash_error_t err = read_greg(task, base + i * g, g, &value);
    if (err != CRCRASH_ERR_NONE) {
      CFE_LOG("Failed to read register data for index %s: %d",
              crcrash_async_thread_state_get_regname(thread_state, reg), err);
      return err;
    }
    crcrash_async_thread_state_set_reg(new_thread_state, reg, value);
  }
  return CRCRASH_ERR_NONE;
}

// The log macro stays within this file (the library compiles several sources to a unit).
#undef CFE_LOG
