#include "crcrash_async_dwarf_cfi.h"

#define DWARF_LOG(tag, ...) crcrash_async_debug_log(tag, __LINE__, __VA_ARGS__)

namespace {
using ull = unsigned long long;
constexpr const char* kCieTag = "crcrash_async_dwarf_cie_info_init";
constexpr const char* kFdeTag = "crcrash_async_dwarf_fde_info_init";

// Reads an entry's length field at `address`: its value and the field's size (4, or 12 for the
// 64-bit form).
crcrash_error_t read_entry_length(const crcrash_async_mobject_t* mobj,
                                  const crcrash_async_byteorder_t* byteorder, std::uint64_t address,
                                  std::uint64_t* length, std::uint64_t* field_size, bool* header_failed) {
  std::uint32_t length32;
  *header_failed = true;
  if (crcrash_async_mobject_read_uint32(mobj, byteorder, address, 0, &length32) != CRCRASH_ERR_NONE) {
    return CRCRASH_ERR_INVAL;
  }
  *header_failed = false;
  if (length32 == 0xFFFFFFFFu) {
    crcrash_error_t err = crcrash_async_mobject_read_uint64(mobj, byteorder, address, 4, length);
    if (err != CRCRASH_ERR_NONE) return err;
    *field_size = 12;
  } else {
    *length = length32;
    *field_size = 4;
  }
  return CRCRASH_ERR_NONE;
}

}  // namespace

template <typename machine_ptr>
crcrash_error_t crcrash_async_dwarf_cie_info_init(crcrash_async_dwarf_cie_info_t* info,
                                                  const crcrash_async_mobject_t* mobj,
                                                  const crcrash_async_byteorder_t* byteorder,
                                                  const gnu_ehptr_reader<machine_ptr>* ptr_reader,
                                                  std::uint64_t cie_address) {
  *info = {};
  const std::uint64_t base = crcrash_async_mobject_base_address(mobj);
  if (cie_address < base) return CRCRASH_ERR_INVAL;

  std::uint64_t length = 0, field = 0;
  bool header_failed = false;
  crcrash_error_t err = read_entry_length(mobj, byteorder, cie_address, &length, &field, &header_failed);
  if (err != CRCRASH_ERR_NONE) {
    if (header_failed)
      DWARF_LOG(kCieTag, "CIE 0x%llx header lies outside the mapped range", static_cast<ull>(cie_address));
    return err;
  }
  info->cie_length = length;
  info->cie_offset = cie_address - base + field;
  // The entry's size counted from its first byte; a length that wraps cannot describe a real entry.
  const std::uint64_t entry_size = field + length;
  if (entry_size < length) {
    DWARF_LOG(kCieTag, "CIE length of 0x%llx overflows the entry", static_cast<ull>(length));
    return CRCRASH_ERR_INVAL;
  }

  std::uint64_t pos = field;
  const std::uint8_t id_width = field == 12 ? 8 : 4;
  err = crcrash_async_dwarf_read_uintmax64(mobj, byteorder, cie_address, static_cast<std::int64_t>(pos),
                                           id_width, &info->cie_id);
  if (err != CRCRASH_ERR_NONE) {
    DWARF_LOG(kCieTag, "CIE id could not be read");
    return err;
  }
  const std::uint64_t all_ones = id_width == 8 ? ~0ULL : 0xFFFFFFFFULL;
  if (info->cie_id != 0 && info->cie_id != all_ones) {
    DWARF_LOG(kCieTag, "CIE id is not one of 0 (eh_frame) or UINT?_MAX (debug_frame): %llx",
              static_cast<ull>(info->cie_id));
    return CRCRASH_ERR_INVAL;
  }
  pos += id_width;

  err =
      crcrash_async_mobject_read_uint8(mobj, cie_address, static_cast<std::int64_t>(pos), &info->cie_version);
  if (err != CRCRASH_ERR_NONE) {
    DWARF_LOG(kCieTag, "CIE version could not be read");
    return err;
  }
  if (info->cie_version != 1 && info->cie_version != 3 && info->cie_version != 4) {
    DWARF_LOG(kCieTag, "CIE version is not one of 1 (eh_frame) or 3 (DWARF3) or 4 (DWARF4): %hhu",
              info->cie_version);
    return CRCRASH_ERR_INVAL;
  }
  pos += 1;

  // The augmentation string: only scanned to its NUL here, walked below.
  const std::uint64_t augmentation_pos = pos;
  for (;;) {
    std::uint8_t c;
    err = crcrash_async_mobject_read_uint8(mobj, cie_address, static_cast<std::int64_t>(pos), &c);
    if (err != CRCRASH_ERR_NONE) {
      DWARF_LOG(kCieTag, "CIE augmentation string could not be read");
      return err;
    }
    if (pos == augmentation_pos && c != 0) {
      if (c != 'z') {
        DWARF_LOG(kCieTag, "Unknown augmentation string prefix of %c, cannot parse CIE", c);
        return CRCRASH_ERR_NOTSUP;
      }
      info->has_z_augmentation = true;
    }
    pos += 1;
    if (c == 0) break;
  }

  if (info->cie_version == 4) {
    err = crcrash_async_mobject_read_uint8(mobj, cie_address, static_cast<std::int64_t>(pos),
                                           &info->address_size);
    if (err != CRCRASH_ERR_NONE) {
      DWARF_LOG(kCieTag, "CIE address_size could not be read");
      return err;
    }
    pos += 1;
    err = crcrash_async_mobject_read_uint8(mobj, cie_address, static_cast<std::int64_t>(pos),
                                           &info->segment_size);
    if (err != CRCRASH_ERR_NONE) {
      DWARF_LOG(kCieTag, "CIE segment_size could not be read");
      return err;
    }
    pos += 1;
  }

  std::uint64_t size = 0;
  err = crcrash_async_dwarf_read_uleb128(mobj, cie_address, static_cast<std::int64_t>(pos),
                                         &info->code_alignment_factor, &size);
  if (err != CRCRASH_ERR_NONE) {
    DWARF_LOG(kCieTag, "Failed to read CIE code alignment value");
    return err;
  }
  pos += size;
  err = crcrash_async_dwarf_read_sleb128(mobj, cie_address, static_cast<std::int64_t>(pos),
                                         &info->data_alignment_factor, &size);
  if (err != CRCRASH_ERR_NONE) {
    DWARF_LOG(kCieTag, "Failed to read CIE data alignment value");
    return err;
  }
  pos += size;
  err = crcrash_async_dwarf_read_uleb128(mobj, cie_address, static_cast<std::int64_t>(pos),
                                         &info->return_address_register, &size);
  if (err != CRCRASH_ERR_NONE) {
    DWARF_LOG(kCieTag, "Failed to read CIE return address register");
    return err;
  }
  pos += size;

  std::uint64_t augmentation_length = 0;
  if (info->has_z_augmentation) {
    err = crcrash_async_dwarf_read_uleb128(mobj, cie_address, static_cast<std::int64_t>(pos),
                                           &augmentation_length, &size);
    if (err != CRCRASH_ERR_NONE) {
      DWARF_LOG(kCieTag, "Failed to read the augmentation data uleb128 length");
      return err;
    }
    pos += size;
    // The augmentation data must fit in what is left of the entry; a length near 2^64 would otherwise
    // wrap the instruction offset below back into range.
    if (pos > entry_size || augmentation_length > entry_size - pos) {
      DWARF_LOG(kCieTag, "CIE augmentation data length of 0x%llx exceeds the entry",
                static_cast<ull>(augmentation_length));
      return CRCRASH_ERR_INVAL;
    }

    std::uint64_t cursor = pos;
    for (std::uint64_t s = augmentation_pos + 1;; ++s) {
      std::uint8_t c;
      err = crcrash_async_mobject_read_uint8(mobj, cie_address, static_cast<std::int64_t>(s), &c);
      if (err != CRCRASH_ERR_NONE) {
        DWARF_LOG(kCieTag, "Failed to read CIE augmentation data");
        return err;
      }
      if (c == 0) break;
      bool stop = false;
      switch (c) {
        case 'L':
          err = crcrash_async_mobject_read_uint8(mobj, cie_address, static_cast<std::int64_t>(cursor),
                                                 &info->lsda_encoding);
          if (err != CRCRASH_ERR_NONE) {
            DWARF_LOG(kCieTag, "Failed to read the LSDA encoding value");
            return err;
          }
          info->has_lsda_encoding = true;
          cursor += 1;
          break;
        case 'P': {
          std::uint8_t encoding;
          err = crcrash_async_mobject_read_uint8(mobj, cie_address, static_cast<std::int64_t>(cursor),
                                                 &encoding);
          if (err != CRCRASH_ERR_NONE) {
            DWARF_LOG(kCieTag, "Failed to read the personality routine encoding value");
            return err;
          }
          machine_ptr personality = 0;
          std::uint64_t consumed = 0;
          err = ptr_reader->read(mobj, cie_address, static_cast<std::int64_t>(cursor + 1), encoding,
                                 &personality, &consumed);
          if (err != CRCRASH_ERR_NONE) {
            DWARF_LOG(kCieTag, "Failed to read the personality routine pointer value");
            return err;
          }
          info->personality_address = personality;
          info->has_personality_address = true;
          cursor += 1 + consumed;
          break;
        }
        case 'R':
          err = crcrash_async_mobject_read_uint8(mobj, cie_address, static_cast<std::int64_t>(cursor),
                                                 &info->pointer_encoding);
          if (err != CRCRASH_ERR_NONE) return err;
          info->has_pointer_encoding = true;
          cursor += 1;
          break;
        case 'S':
          info->signal_frame = true;
          break;
        default:
          DWARF_LOG(kCieTag, "Unknown augmentation entry of %c; terminating parsing early", c);
          stop = true;
          break;
      }
      if (stop) break;
    }
  }

  // The initial instructions follow the augmentation data as its length declares it.
  const std::uint64_t read_length = pos + augmentation_length - field;
  if (info->cie_length < read_length) {
    DWARF_LOG(kCieTag, "CIE length of 0x%llu declared to be less than the actual read length of 0x%llu",
              static_cast<ull>(info->cie_length), static_cast<ull>(read_length));
    return CRCRASH_ERR_INVAL;
  }
  info->initial_instructions_offset = info->cie_offset + read_length;
  info->initial_instructions_length = info->cie_length - read_length;
  return CRCRASH_ERR_NONE;
}

void crcrash_async_dwarf_cie_info_free(crcrash_async_dwarf_cie_info_t*) {}

std::uint64_t crcrash_async_dwarf_cie_info_get_instructions_offset(
    const crcrash_async_dwarf_cie_info_t* info) {
  return info->initial_instructions_offset;
}

std::uint64_t crcrash_async_dwarf_cie_info_get_instructions_length(
    const crcrash_async_dwarf_cie_info_t* info) {
  return info->initial_instructions_length;
}

template <typename machine_ptr>
crcrash_error_t crcrash_async_dwarf_fde_info_init(crcrash_async_dwarf_fde_info_t* info,
                                                  const crcrash_async_mobject_t* mobj,
                                                  const crcrash_async_byteorder_t* byteorder,
                                                  std::uint64_t fde_address, bool debug_frame) {
  crcrash_async_dwarf_cie_info_t cie;
  return crcrash_async_dwarf_fde_info_init_with_cie<machine_ptr>(info, &cie, mobj, byteorder, fde_address,
                                                                 debug_frame);
}

template <typename machine_ptr>
crcrash_error_t crcrash_async_dwarf_fde_info_init_with_cie(crcrash_async_dwarf_fde_info_t* info,
                                                           crcrash_async_dwarf_cie_info_t* cie_out,
                                                           const crcrash_async_mobject_t* mobj,
                                                           const crcrash_async_byteorder_t* byteorder,
                                                           std::uint64_t fde_address, bool debug_frame) {
  *info = {};
  const std::uint64_t base = crcrash_async_mobject_base_address(mobj);
  if (fde_address < base) return CRCRASH_ERR_INVAL;

  std::uint64_t length = 0, field = 0;
  bool header_failed = false;
  crcrash_error_t err = read_entry_length(mobj, byteorder, fde_address, &length, &field, &header_failed);
  if (err != CRCRASH_ERR_NONE) {
    if (header_failed) {
      DWARF_LOG(kFdeTag, "The current FDE entry 0x%llx header lies outside the mapped range",
                static_cast<ull>(fde_address));
    } else {
      DWARF_LOG(kFdeTag,
                "Failed to read FDE 64-bit length value value; FDE entry lies outside the mapped range");
    }
    return err;
  }
  info->fde_length = length;
  info->fde_offset = fde_address - base + field;
  const std::uint64_t entry_size = field + length;
  if (entry_size < length) {
    DWARF_LOG(kFdeTag, "FDE length of 0x%llx overflows the entry", static_cast<ull>(length));
    return CRCRASH_ERR_INVAL;
  }

  const std::uint8_t width = field == 12 ? 8 : 4;
  std::uint64_t cie_pointer = 0;
  err = crcrash_async_dwarf_read_uintmax64(mobj, byteorder, fde_address, static_cast<std::int64_t>(field),
                                           width, &cie_pointer);
  if (err != CRCRASH_ERR_NONE) {
    DWARF_LOG(kFdeTag, "FDE instruction offset falls outside the mapped range");
    return err;
  }
  std::uint64_t cie_address;
  if (debug_frame) {
    if (static_cast<std::int64_t>(cie_pointer) < 0 || base + cie_pointer < base) {
      DWARF_LOG(kFdeTag, "CIE offset of 0x%llx overflows representable range of cr_vm_address_t",
                static_cast<ull>(cie_pointer));
      return CRCRASH_ERR_INVAL;
    }
    info->cie_offset = cie_pointer;
    cie_address = base + cie_pointer;
  } else {
    // The pointer counts back from its own field; it may not reach before the section's first byte.
    const std::uint64_t field_address = fde_address + field;
    if (field_address < fde_address || cie_pointer > field_address - base) {
      DWARF_LOG(kFdeTag, "CIE offset 0x%llx would place the CIE value outside of the .eh_frame section",
                static_cast<ull>(cie_pointer));
      return CRCRASH_ERR_INVAL;
    }
    cie_address = field_address - cie_pointer;
    info->cie_offset = cie_address - base;
  }

  gnu_ehptr_reader<machine_ptr> ptr_reader(byteorder);
  crcrash_async_dwarf_cie_info_t& cie = *cie_out;
  err = crcrash_async_dwarf_cie_info_init<machine_ptr>(&cie, mobj, byteorder, &ptr_reader, cie_address);
  if (err != CRCRASH_ERR_NONE) {
    DWARF_LOG(kFdeTag, "Failed to parse CFE for FDE");
    info->cie_failed = true;
    return err;
  }

  std::uint64_t pos = field + width;
  const std::uint8_t encoding =
      cie.has_z_augmentation && cie.has_pointer_encoding ? cie.pointer_encoding : DW_EH_PE_absptr;
  machine_ptr pc_start = 0, range = 0;
  std::uint64_t size = 0;
  err = ptr_reader.read(mobj, fde_address, static_cast<std::int64_t>(pos), encoding, &pc_start, &size);
  if (err != CRCRASH_ERR_NONE) {
    DWARF_LOG(kFdeTag, "Failed to read FDE initial_location");
    return err;
  }
  pos += size;
  err = ptr_reader.read(mobj, fde_address, static_cast<std::int64_t>(pos), encoding & 0x0F, &range, &size);
  if (err != CRCRASH_ERR_NONE) {
    DWARF_LOG(kFdeTag, "Failed to read FDE address_length");
    return err;
  }
  pos += size;
  const std::uint64_t start = pc_start;
  if (start + static_cast<std::uint64_t>(range) < start) {
    DWARF_LOG(kFdeTag, "FDE address_length + initial_location exceeds UINT64_MAX");
    return CRCRASH_ERR_INVAL;
  }
  info->pc_start = start;
  info->pc_end = start + static_cast<std::uint64_t>(range);

  if (cie.has_z_augmentation) {
    std::uint64_t augmentation_length = 0;
    err = crcrash_async_dwarf_read_uleb128(mobj, fde_address, static_cast<std::int64_t>(pos),
                                           &augmentation_length, &size);
    if (err != CRCRASH_ERR_NONE) {
      DWARF_LOG(kFdeTag, "Failed to read the FDE augmentation data length");
      return CRCRASH_ERR_INVAL;
    }
    pos += size;
    if (pos > entry_size || augmentation_length > entry_size - pos) {
      DWARF_LOG(kFdeTag, "FDE augmentation data length of 0x%llx exceeds the entry",
                static_cast<ull>(augmentation_length));
      return CRCRASH_ERR_INVAL;
    }
    pos += augmentation_length;
  }

  info->instructions_offset = (fde_address - base) + pos;
  const std::uint64_t read_length = info->instructions_offset - info->fde_offset;
  if (info->fde_length < read_length) {
    DWARF_LOG(kFdeTag, "FDE length of 0x%lludeclared to be less than the actual read length of 0x%llu",
              static_cast<ull>(info->fde_length), static_cast<ull>(read_length));
    return CRCRASH_ERR_INVAL;
  }
  info->instructions_length = info->fde_length - read_length;
  return CRCRASH_ERR_NONE;
}

void crcrash_async_dwarf_fde_info_free(crcrash_async_dwarf_fde_info_t*) {}

std::uint64_t crcrash_async_dwarf_fde_info_get_instructions_offset(
    const crcrash_async_dwarf_fde_info_t* info) {
  return info->instructions_offset;
}

std::uint64_t crcrash_async_dwarf_fde_info_get_instructions_length(
    const crcrash_async_dwarf_fde_info_t* info) {
  return info->instructions_length;
}

template crcrash_error_t crcrash_async_dwarf_cie_info_init<std::uint32_t>(
    crcrash_async_dwarf_cie_info_t*, const crcrash_async_mobject_t*, const crcrash_async_byteorder_t*,
    const gnu_ehptr_reader<std::uint32_t>*, std::uint64_t);
template crcrash_error_t crcrash_async_dwarf_cie_info_init<std::uint64_t>(
    crcrash_async_dwarf_cie_info_t*, const crcrash_async_mobject_t*, const crcrash_async_byteorder_t*,
    const gnu_ehptr_reader<std::uint64_t>*, std::uint64_t);
template crcrash_error_t crcrash_async_dwarf_fde_info_init_with_cie<std::uint32_t>(
    crcrash_async_dwarf_fde_info_t*, crcrash_async_dwarf_cie_info_t*, const crcrash_async_mobject_t*,
    const crcrash_async_byteorder_t*, std::uint64_t, bool);
template crcrash_error_t crcrash_async_dwarf_fde_info_init<std::uint32_t>(crcrash_async_dwarf_fde_info_t*,
                                                                          const crcrash_async_mobject_t*,
                                                                          const crcrash_async_byteorder_t*,
                                                                          std::uint64_t, bool);
template crcrash_error_t crcrash_async_dwarf_fde_info_init_with_cie<std::uint64_t>(
    crcrash_async_dwarf_fde_info_t*, crcrash_async_dwarf_cie_info_t*, const crcrash_async_mobject_t*,
    const crcrash_async_byteorder_t*, std::uint64_t, bool);
template crcrash_error_t crcrash_async_dwarf_fde_info_init<std::uint64_t>(crcrash_async_dwarf_fde_info_t*,
                                                                          const crcrash_async_mobject_t*,
                                                                          const crcrash_async_byteorder_t*,
                                                                          std::uint64_t, bool);

// ---- cfi_section_reader ----

cfi_section_reader::cfi_section_reader(const crcrash_async_mobject_t* mobj,
                                       const crcrash_async_byteorder_t* byteorder, bool m64, bool debug_frame)
    : _mobj(mobj), _byteorder(byteorder), _m64(m64), _debug_frame(debug_frame) {}

crcrash_error_t cfi_section_reader::find_fde(std::uint64_t offset, std::uint64_t pc,
                                             crcrash_async_dwarf_fde_info_t* fde,
                                             crcrash_async_dwarf_cie_info_t* cie) const {
  crcrash_async_dwarf_cie_info_t scratch;
  if (cie == nullptr) cie = &scratch;
  const std::uint64_t base = crcrash_async_mobject_base_address(_mobj);
  const std::uint64_t end = base + crcrash_async_mobject_length(_mobj);
  std::uint64_t cursor = base + offset;
  if (cursor < base) {
    DWARF_LOG("find_fde", "FDE offset hint overflows the mobject's base address");
    return CRCRASH_ERR_INVAL;
  }
  if (cursor >= end) {
    DWARF_LOG("find_fde", "FDE base address + offset falls outside the mapped range");
    return CRCRASH_ERR_INVAL;
  }
  // Every entry moves the cursor forward by at least its 4-byte length field, so the scan ends.
  for (;;) {
    std::uint64_t length = 0, field = 0;
    bool header_failed = false;
    if (read_entry_length(_mobj, _byteorder, cursor, &length, &field, &header_failed) != CRCRASH_ERR_NONE) {
      DWARF_LOG("find_fde", "The current CFI entry 0x%llx header lies outside the mapped range",
                static_cast<ull>(cursor));
      return CRCRASH_ERR_INVAL;
    }
    if (length == 0) return CRCRASH_ERR_NOTFOUND;
    const std::uint64_t next = cursor + field + length;
    if (next < cursor || field + length < length) {
      DWARF_LOG("find_fde", "Entry length size overflows the CFI address");
      return CRCRASH_ERR_INVAL;
    }
    const std::uint8_t width = field == 12 ? 8 : 4;
    std::uint64_t id = 0;
    if (crcrash_async_dwarf_read_uintmax64(_mobj, _byteorder, cursor, static_cast<std::int64_t>(field), width,
                                           &id) != CRCRASH_ERR_NONE) {
      DWARF_LOG("find_fde", "The current CFI entry 0x%llx cie_id lies outside the mapped range",
                static_cast<ull>(cursor));
      return CRCRASH_ERR_INVAL;
    }
    const std::uint64_t all_ones = width == 8 ? ~0ULL : 0xFFFFFFFFULL;
    const bool is_cie = _debug_frame ? id == all_ones : id == 0;
    if (!is_cie) {
      crcrash_error_t err = _m64 ? crcrash_async_dwarf_fde_info_init_with_cie<std::uint64_t>(
                                       fde, cie, _mobj, _byteorder, cursor, _debug_frame)
                                 : crcrash_async_dwarf_fde_info_init_with_cie<std::uint32_t>(
                                       fde, cie, _mobj, _byteorder, cursor, _debug_frame);
      if (err != CRCRASH_ERR_NONE) return err;
      if (fde->pc_start <= pc && pc < fde->pc_end) return CRCRASH_ERR_NONE;
    }
    cursor = next;
    if (cursor >= end) return CRCRASH_ERR_NOTFOUND;
  }
}

// The log macro stays within this file (the library compiles several sources to a unit).
#undef DWARF_LOG
