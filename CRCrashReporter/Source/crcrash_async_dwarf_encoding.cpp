#include "crcrash_async_dwarf_encoding.h"

#define DWARF_LOG(tag, ...) crcrash_async_debug_log(tag, __LINE__, __VA_ARGS__)

namespace {

using ull = unsigned long long;

// LEB128 numbers take at most 10 bytes (70 bits of payload hold any 64-bit value).
constexpr unsigned kLebMaxShift = 64;

// Decodes one unsigned LEB128 number from [p, end): 0, 5 (ran off the end) or 4 (longer than 10 bytes).
crcrash_error_t decode_uleb128(const std::uint8_t* p, const std::uint8_t* end, std::uint64_t* result,
                               std::uint64_t* size) {
  const std::uint64_t available = static_cast<std::uint64_t>(end - p);
  std::uint64_t value = 0;
  unsigned shift = 0;
  for (std::uint64_t count = 1;; ++count) {
    if (count > available) return CRCRASH_ERR_INVAL;
    const std::uint8_t byte = p[count - 1];
    value |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
    if ((byte & 0x80) == 0) {
      *result = value;
      *size = count;
      return CRCRASH_ERR_NONE;
    }
    shift += 7;
    if (shift >= kLebMaxShift) return CRCRASH_ERR_NOTSUP;
  }
}

crcrash_error_t decode_sleb128(const std::uint8_t* p, const std::uint8_t* end, std::int64_t* result,
                               std::uint64_t* size) {
  const std::uint64_t available = static_cast<std::uint64_t>(end - p);
  std::uint64_t value = 0;
  unsigned shift = 0;
  for (std::uint64_t count = 1;; ++count) {
    if (count > available) return CRCRASH_ERR_INVAL;
    const std::uint8_t byte = p[count - 1];
    value |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
    if ((byte & 0x80) == 0) {
      if (shift + 7 < 64 && (byte & 0x40) != 0) value |= ~0ULL << (shift + 7);
      *result = static_cast<std::int64_t>(value);
      *size = count;
      return CRCRASH_ERR_NONE;
    }
    shift += 7;
    if (shift >= kLebMaxShift) return CRCRASH_ERR_NOTSUP;
  }
}

// The mapped bytes of a memory object from location + offset to the end of its valid range.
const std::uint8_t* mapped_span(const crcrash_async_mobject_t* mobj, std::uint64_t location,
                                std::int64_t offset, const std::uint8_t** end) {
  auto* p = static_cast<const std::uint8_t*>(crcrash_async_mobject_remap_address(mobj, location, offset, 1));
  if (p == nullptr) return nullptr;
  *end =
      reinterpret_cast<const std::uint8_t*>(static_cast<std::uintptr_t>(mobj->local_address + mobj->length));
  return p;
}

}  // namespace

crcrash_error_t crcrash_async_dwarf_read_uleb128(const crcrash_async_mobject_t* mobj, std::uint64_t location,
                                                 std::int64_t offset, std::uint64_t* result,
                                                 std::uint64_t* size) {
  const std::uint8_t* end = nullptr;
  const std::uint8_t* p = mapped_span(mobj, location, offset, &end);
  crcrash_error_t err = p == nullptr ? CRCRASH_ERR_INVAL : decode_uleb128(p, end, result, size);
  if (err == CRCRASH_ERR_INVAL) {
    DWARF_LOG("crcrash_async_dwarf_read_uleb128",
              "ULEB128 value did not terminate within mapped memory range");
  } else if (err == CRCRASH_ERR_NOTSUP) {
    DWARF_LOG("crcrash_async_dwarf_read_uleb128",
              "ULEB128 is larger than the maximum supported size of 64 bits");
  }
  return err;
}

crcrash_error_t crcrash_async_dwarf_read_sleb128(const crcrash_async_mobject_t* mobj, std::uint64_t location,
                                                 std::int64_t offset, std::int64_t* result,
                                                 std::uint64_t* size) {
  const std::uint8_t* end = nullptr;
  const std::uint8_t* p = mapped_span(mobj, location, offset, &end);
  crcrash_error_t err = p == nullptr ? CRCRASH_ERR_INVAL : decode_sleb128(p, end, result, size);
  if (err == CRCRASH_ERR_INVAL) {
    DWARF_LOG("crcrash_async_dwarf_read_sleb128",
              "SLEB128 value did not terminate within mapped memory range");
  } else if (err == CRCRASH_ERR_NOTSUP) {
    DWARF_LOG("crcrash_async_dwarf_read_sleb128",
              "SLEB128 is larger than the maximum supported size of 64 bits");
  }
  return err;
}

namespace {

// Maps up to a page at location + offset of the task (less where the memory ends) and decodes there.
template <typename Value, typename Reader>
crcrash_error_t read_task_leb(const char* tag, task_t task, std::uint64_t location, std::int64_t offset,
                              Value* result, std::uint64_t* size, Reader reader) {
  std::uint64_t address;
  if (!crcrash_async_address_add_offset(location, offset, &address)) {
    DWARF_LOG(tag, "Applying the  offset of 0x%lld to base address %llx exceeds CR_VM_ADDRESS_MAX",
              static_cast<long long>(offset), static_cast<ull>(location));
    return CRCRASH_ERR_INVAL;
  }
  crcrash_async_mobject_t mobj;
  crcrash_error_t err = crcrash_async_mobject_init(&mobj, task, address, 4096, false);
  if (err != CRCRASH_ERR_NONE) return err;
  err = reader(&mobj, address, 0, result, size);
  crcrash_async_mobject_free(&mobj);
  return err;
}

}  // namespace

crcrash_error_t crcrash_async_dwarf_read_task_uleb128(task_t task, std::uint64_t location,
                                                      std::int64_t offset, std::uint64_t* result,
                                                      std::uint64_t* size) {
  return read_task_leb("crcrash_async_dwarf_read_task_uleb128", task, location, offset, result, size,
                       crcrash_async_dwarf_read_uleb128);
}

crcrash_error_t crcrash_async_dwarf_read_task_sleb128(task_t task, std::uint64_t location,
                                                      std::int64_t offset, std::int64_t* result,
                                                      std::uint64_t* size) {
  return read_task_leb("crcrash_async_dwarf_read_task_sleb128", task, location, offset, result, size,
                       crcrash_async_dwarf_read_sleb128);
}

crcrash_error_t crcrash_async_dwarf_read_uintmax64(const crcrash_async_mobject_t* mobj,
                                                   const crcrash_async_byteorder_t* byteorder,
                                                   std::uint64_t base_addr, std::int64_t offset,
                                                   std::uint8_t width, std::uint64_t* dest) {
  switch (width) {
    case 1: {
      std::uint8_t v;
      if (crcrash_async_mobject_read_uint8(mobj, base_addr, offset, &v) != CRCRASH_ERR_NONE)
        return CRCRASH_ERR_INVAL;
      *dest = v;
      return CRCRASH_ERR_NONE;
    }
    case 2: {
      std::uint16_t v;
      if (crcrash_async_mobject_read_uint16(mobj, byteorder, base_addr, offset, &v) != CRCRASH_ERR_NONE) {
        return CRCRASH_ERR_INVAL;
      }
      *dest = v;
      return CRCRASH_ERR_NONE;
    }
    case 4: {
      std::uint32_t v;
      if (crcrash_async_mobject_read_uint32(mobj, byteorder, base_addr, offset, &v) != CRCRASH_ERR_NONE) {
        return CRCRASH_ERR_INVAL;
      }
      *dest = v;
      return CRCRASH_ERR_NONE;
    }
    case 8: {
      std::uint64_t v;
      if (crcrash_async_mobject_read_uint64(mobj, byteorder, base_addr, offset, &v) != CRCRASH_ERR_NONE) {
        return CRCRASH_ERR_INVAL;
      }
      *dest = v;
      return CRCRASH_ERR_NONE;
    }
    default:
      DWARF_LOG("crcrash_async_dwarf_read_uintmax64", "Unhandled data width %llu", static_cast<ull>(width));
      return CRCRASH_ERR_INVAL;
  }
}

// ---- gnu_ehptr_reader ----

template <typename machine_ptr>
gnu_ehptr_reader<machine_ptr>::gnu_ehptr_reader(const crcrash_async_byteorder_t* byteorder)
    : _byteorder(byteorder) {}

template <typename machine_ptr>
void gnu_ehptr_reader<machine_ptr>::set_frame_section_base(std::uint64_t frame_section_base,
                                                           std::uint64_t frame_section_vm_addr) {
  _has_frame_section_base = true;
  _frame_section_base = frame_section_base;
  _frame_section_vm_addr = frame_section_vm_addr;
}

template <typename machine_ptr>
void gnu_ehptr_reader<machine_ptr>::set_text_base(std::uint64_t text_base) {
  _has_text_base = true;
  _text_base = text_base;
}

template <typename machine_ptr>
void gnu_ehptr_reader<machine_ptr>::set_data_base(std::uint64_t data_base) {
  _has_data_base = true;
  _data_base = data_base;
}

template <typename machine_ptr>
void gnu_ehptr_reader<machine_ptr>::set_func_base(std::uint64_t func_base) {
  _has_func_base = true;
  _func_base = func_base;
}

template <typename machine_ptr>
crcrash_error_t gnu_ehptr_reader<machine_ptr>::read(const crcrash_async_mobject_t* mobj,
                                                    std::uint64_t location, std::int64_t offset,
                                                    std::uint8_t encoding, machine_ptr* result,
                                                    std::uint64_t* size) const {
  if (encoding == DW_EH_PE_omit) {
    DWARF_LOG("read", "Skipping decoding of DW_EH_PE_omit pointer");
    return CRCRASH_ERR_NOTFOUND;
  }
  std::uint64_t consumed = 0;
  machine_ptr base = 0;
  switch (encoding & 0x70) {
    case 0x00:
      break;
    case DW_EH_PE_pcrel:
      base = static_cast<machine_ptr>(location + static_cast<std::uint64_t>(offset));
      break;
    case DW_EH_PE_textrel:
      if (!_has_text_base) {
        DWARF_LOG(
            "read",
            "Cannot decode DW_EH_PE_textrel value with CRCRASH_ASYNC_DWARF_INVALID_BASE_ADDR text_addr");
        return CRCRASH_ERR_NOTSUP;
      }
      base = static_cast<machine_ptr>(_text_base);
      break;
    case DW_EH_PE_datarel:
      if (!_has_data_base) {
        DWARF_LOG(
            "read",
            "Cannot decode DW_EH_PE_datarel value with CRCRASH_ASYNC_DWARF_INVALID_BASE_ADDR data_base");
        return CRCRASH_ERR_NOTSUP;
      }
      base = static_cast<machine_ptr>(_data_base);
      break;
    case DW_EH_PE_funcrel:
      if (!_has_func_base) {
        DWARF_LOG(
            "read",
            "Cannot decode DW_EH_PE_funcrel value with CRCRASH_ASYNC_DWARF_INVALID_BASE_ADDR func_base");
        return CRCRASH_ERR_NOTSUP;
      }
      base = static_cast<machine_ptr>(_func_base);
      break;
    case DW_EH_PE_aligned: {
      if (!_has_frame_section_base) {
        DWARF_LOG("read",
                  "Cannot decode DW_EH_PE_aligned value without a valid frame section base configured");
        return CRCRASH_ERR_NOTSUP;
      }
      if (location < _frame_section_base) return CRCRASH_ERR_INVAL;
      const std::uint64_t vm = _frame_section_vm_addr + (location - _frame_section_base);
      const std::uint64_t word = sizeof(machine_ptr);
      const std::uint64_t aligned = (vm + word - 1) & ~(word - 1);
      if (aligned < vm) return CRCRASH_ERR_INVAL;
      consumed = aligned - vm;
      location += consumed;
      break;
    }
    default:
      DWARF_LOG("read", "Unsupported pointer base encoding of 0x%x", static_cast<unsigned>(encoding));
      return CRCRASH_ERR_NOTSUP;
  }

  machine_ptr value = 0;
  crcrash_error_t err = CRCRASH_ERR_NONE;
  const char* failure = nullptr;
  switch (encoding & 0x0F) {
    case DW_EH_PE_absptr: {
      std::uint64_t v;
      if (crcrash_async_dwarf_read_uintmax64(mobj, _byteorder, location, offset, sizeof(machine_ptr), &v) !=
          CRCRASH_ERR_NONE) {
        DWARF_LOG("read", "Failed to read value at 0x%llx", static_cast<ull>(location));
        return CRCRASH_ERR_INVAL;
      }
      value = static_cast<machine_ptr>(v);
      consumed += sizeof(machine_ptr);
      break;
    }
    case DW_EH_PE_uleb128: {
      std::uint64_t v, n;
      err = crcrash_async_dwarf_read_uleb128(mobj, location, offset, &v, &n);
      failure = "Failed to read uleb128 value at 0x%llx";
      value = static_cast<machine_ptr>(v);
      consumed += n;
      break;
    }
    case DW_EH_PE_udata2:
    case DW_EH_PE_udata4:
    case DW_EH_PE_udata8:
    case DW_EH_PE_sdata2:
    case DW_EH_PE_sdata4:
    case DW_EH_PE_sdata8: {
      static const char* const kFailures[] = {
          "Failed to read udata2 value at 0x%llx", "Failed to read udata4 value at 0x%llx",
          "Failed to read udata8 value at 0x%llx", "Failed to read sdata2 value at 0x%llx",
          "Failed to read sdata4 value at 0x%llx", "Failed to read sdata8 value at 0x%llx"};
      const bool is_signed = (encoding & 0x08) != 0;
      const unsigned index = (encoding & 0x07) - 2;  // 0 = 2 bytes, 1 = 4, 2 = 8
      const std::uint8_t width = static_cast<std::uint8_t>(2u << index);
      std::uint64_t v = 0;
      err = crcrash_async_dwarf_read_uintmax64(mobj, _byteorder, location, offset, width, &v);
      failure = kFailures[index + (is_signed ? 3 : 0)];
      if (is_signed && width < 8) {
        const std::uint64_t sign = 1ULL << (width * 8 - 1);
        v = (v ^ sign) - sign;
      }
      value = static_cast<machine_ptr>(v);
      consumed += width;
      break;
    }
    case DW_EH_PE_sleb128: {
      std::int64_t v;
      std::uint64_t n;
      err = crcrash_async_dwarf_read_sleb128(mobj, location, offset, &v, &n);
      failure = "Failed to read sleb128 value at 0x%llx";
      value = static_cast<machine_ptr>(static_cast<std::uint64_t>(v));
      consumed += n;
      break;
    }
    default:
      DWARF_LOG("read", "Unknown pointer encoding of type 0x%x", static_cast<unsigned>(encoding));
      return CRCRASH_ERR_NOTSUP;
  }
  if (err != CRCRASH_ERR_NONE) {
    DWARF_LOG("read", failure, static_cast<ull>(location));
    return err;
  }
  machine_ptr pointer = static_cast<machine_ptr>(base + value);
  if ((encoding & DW_EH_PE_indirect) != 0) {
    std::uint64_t word = 0;
    if constexpr (sizeof(machine_ptr) == 8) {
      err = crcrash_async_task_memcpy(crcrash_async_mobject_task(mobj), pointer, 0, &word, 8);
      word = _byteorder->swap64(word);
    } else {
      std::uint32_t w32 = 0;
      err = crcrash_async_task_memcpy(crcrash_async_mobject_task(mobj), pointer, 0, &w32, 4);
      word = _byteorder->swap32(w32);
    }
    if (err != CRCRASH_ERR_NONE) return err;
    pointer = static_cast<machine_ptr>(word);
  }
  *result = pointer;
  *size = consumed;
  return CRCRASH_ERR_NONE;
}

template class gnu_ehptr_reader<std::uint32_t>;
template class gnu_ehptr_reader<std::uint64_t>;

// ---- dwarf_instruction_stream ----

crcrash_error_t dwarf_instruction_stream::init(const crcrash_async_mobject_t* mobj,
                                               const crcrash_async_byteorder_t* byteorder,
                                               std::uint64_t address, std::int64_t offset,
                                               std::uint64_t length) {
  std::uint64_t start;
  if (!crcrash_async_address_add_offset(address, offset, &start)) {
    DWARF_LOG("init", "Offset overflows base address");
    return CRCRASH_ERR_INVAL;
  }
  if (static_cast<std::int64_t>(length) < 0 || start + length < start) {
    DWARF_LOG("init", "Length overflows base address");
    return CRCRASH_ERR_INVAL;
  }
  auto* first = static_cast<const std::uint8_t*>(crcrash_async_mobject_remap_address(mobj, start, 0, length));
  if (first == nullptr) {
    DWARF_LOG("init", "Could not map the DWARF instructions; range falls outside mapped pages");
    return CRCRASH_ERR_INVAL;
  }
  _mobj = mobj;
  _byteorder = byteorder;
  _start = start;
  _first = first;
  _end = first + length;
  _p = first;
  return CRCRASH_ERR_NONE;
}

bool dwarf_instruction_stream::read_uleb128(std::uint64_t* result) {
  std::uint64_t size = 0;
  crcrash_error_t err = decode_uleb128(_p, _end, result, &size);
  if (err == CRCRASH_ERR_INVAL) {
    DWARF_LOG("read_uleb128", "ULEB128 value extends past end of opstream");
    return false;
  }
  if (err != CRCRASH_ERR_NONE) {
    DWARF_LOG("read_uleb128", "Read of ULEB128 value failed with %u", err);
    return false;
  }
  _p += size;
  return true;
}

bool dwarf_instruction_stream::read_sleb128(std::int64_t* result) {
  std::uint64_t size = 0;
  crcrash_error_t err = decode_sleb128(_p, _end, result, &size);
  if (err == CRCRASH_ERR_INVAL) {
    DWARF_LOG("read_sleb128", "SLEB128 value extends past end of opstream");
    return false;
  }
  if (err != CRCRASH_ERR_NONE) {
    DWARF_LOG("read_sleb128", "Read of SLEB128 value failed with %u", err);
    return false;
  }
  _p += size;
  return true;
}

bool dwarf_instruction_stream::take(void* dest, std::uint64_t size) {
  if (static_cast<std::uint64_t>(_end - _p) < size) return false;
  crcrash_async_memcpy(dest, _p, size);
  _p += size;
  return true;
}

bool dwarf_instruction_stream::read_uint8(std::uint8_t* result) { return take(result, 1); }

bool dwarf_instruction_stream::read_uint16(std::uint16_t* result) {
  std::uint16_t v;
  if (!take(&v, 2)) return false;
  *result = _byteorder->swap16(v);
  return true;
}

bool dwarf_instruction_stream::read_uint32(std::uint32_t* result) {
  std::uint32_t v;
  if (!take(&v, 4)) return false;
  *result = _byteorder->swap32(v);
  return true;
}

bool dwarf_instruction_stream::read_uint64(std::uint64_t* result) {
  std::uint64_t v;
  if (!take(&v, 8)) return false;
  *result = _byteorder->swap64(v);
  return true;
}

template <typename machine_ptr>
bool dwarf_instruction_stream::read_gnueh_ptr(const gnu_ehptr_reader<machine_ptr>* reader,
                                              std::uint8_t encoding, machine_ptr* result) {
  std::uint64_t size = 0;
  machine_ptr value = 0;
  crcrash_error_t err =
      reader->read(_mobj, _start, static_cast<std::int64_t>(position()), encoding, &value, &size);
  if (err != CRCRASH_ERR_NONE) {
    DWARF_LOG("read_gnueh_ptr", "Read of GNU EH pointer value failed with %u", err);
    return false;
  }
  if (static_cast<std::int64_t>(size) < 0) {
    DWARF_LOG("read_gnueh_ptr", "GNU EH pointer size exceeds our maximum supported offset size");
    return false;
  }
  if (static_cast<std::uint64_t>(_end - _p) < size) {
    DWARF_LOG("read_gnueh_ptr", "GNU EH pointer value extends past end of opstream");
    return false;
  }
  _p += size;
  *result = value;
  return true;
}

template bool dwarf_instruction_stream::read_gnueh_ptr<std::uint32_t>(const gnu_ehptr_reader<std::uint32_t>*,
                                                                      std::uint8_t, std::uint32_t*);
template bool dwarf_instruction_stream::read_gnueh_ptr<std::uint64_t>(const gnu_ehptr_reader<std::uint64_t>*,
                                                                      std::uint8_t, std::uint64_t*);

bool dwarf_instruction_stream::set_position(std::uint64_t position) {
  if (position > length()) return false;
  _p = _first + position;
  return true;
}

// The log macro stays within this file (the library compiles several sources to a unit).
#undef DWARF_LOG
