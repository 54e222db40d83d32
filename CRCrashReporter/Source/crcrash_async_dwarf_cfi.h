#pragma once
// Decoding of DWARF call-frame information: Common Information Entries, Frame Description Entries and
// the search of a CFI section (.eh_frame layout or plain .debug_frame) for the FDE that covers a PC.

#include <cstdint>

#include "crcrash_async_dwarf_encoding.h"

struct crcrash_async_dwarf_cie_info_t {
  std::uint64_t cie_offset;
  std::uint64_t cie_length;
  std::uint64_t cie_id;
  std::uint8_t cie_version;
  std::uint8_t address_size;
  std::uint8_t segment_size;
  std::uint64_t code_alignment_factor;
  std::int64_t data_alignment_factor;
  std::uint64_t return_address_register;
  bool has_z_augmentation;
  bool has_lsda_encoding;
  std::uint8_t lsda_encoding;
  bool has_personality_address;
  std::uint64_t personality_address;
  bool has_pointer_encoding;
  std::uint8_t pointer_encoding;
  bool signal_frame;
  std::uint64_t initial_instructions_offset;
  std::uint64_t initial_instructions_length;
};

struct crcrash_async_dwarf_fde_info_t {
  std::uint64_t fde_offset;
  std::uint64_t fde_length;
  std::uint64_t cie_offset;
  std::uint64_t pc_start;
  std::uint64_t pc_end;
  std::uint64_t instructions_offset;
  std::uint64_t instructions_length;
  // Set when the entry was refused because its CIE (at cie_offset) did not decode.
  bool cie_failed;
};

// Decodes the CIE whose length field is at `cie_address` (not below the memory object's base).
template <typename machine_ptr>
crcrash_error_t crcrash_async_dwarf_cie_info_init(crcrash_async_dwarf_cie_info_t* info,
                                                  const crcrash_async_mobject_t* mobj,
                                                  const crcrash_async_byteorder_t* byteorder,
                                                  const gnu_ehptr_reader<machine_ptr>* ptr_reader,
                                                  std::uint64_t cie_address);
void crcrash_async_dwarf_cie_info_free(crcrash_async_dwarf_cie_info_t* info);
std::uint64_t crcrash_async_dwarf_cie_info_get_instructions_offset(
    const crcrash_async_dwarf_cie_info_t* info);
std::uint64_t crcrash_async_dwarf_cie_info_get_instructions_length(
    const crcrash_async_dwarf_cie_info_t* info);

// Decodes the FDE whose length field is at `fde_address`; the memory object covers the whole section.
template <typename machine_ptr>
crcrash_error_t crcrash_async_dwarf_fde_info_init(crcrash_async_dwarf_fde_info_t* info,
                                                  const crcrash_async_mobject_t* mobj,
                                                  const crcrash_async_byteorder_t* byteorder,
                                                  std::uint64_t fde_address, bool debug_frame);
void crcrash_async_dwarf_fde_info_free(crcrash_async_dwarf_fde_info_t* info);
// As crcrash_async_dwarf_fde_info_init, also handing back the owning CIE it decodes.
template <typename machine_ptr>
crcrash_error_t crcrash_async_dwarf_fde_info_init_with_cie(crcrash_async_dwarf_fde_info_t* info,
                                                           crcrash_async_dwarf_cie_info_t* cie,
                                                           const crcrash_async_mobject_t* mobj,
                                                           const crcrash_async_byteorder_t* byteorder,
                                                           std::uint64_t fde_address, bool debug_frame);
std::uint64_t crcrash_async_dwarf_fde_info_get_instructions_offset(
    const crcrash_async_dwarf_fde_info_t* info);
std::uint64_t crcrash_async_dwarf_fde_info_get_instructions_length(
    const crcrash_async_dwarf_fde_info_t* info);

extern template crcrash_error_t crcrash_async_dwarf_cie_info_init<std::uint32_t>(
    crcrash_async_dwarf_cie_info_t*, const crcrash_async_mobject_t*, const crcrash_async_byteorder_t*,
    const gnu_ehptr_reader<std::uint32_t>*, std::uint64_t);
extern template crcrash_error_t crcrash_async_dwarf_cie_info_init<std::uint64_t>(
    crcrash_async_dwarf_cie_info_t*, const crcrash_async_mobject_t*, const crcrash_async_byteorder_t*,
    const gnu_ehptr_reader<std::uint64_t>*, std::uint64_t);
extern template crcrash_error_t crcrash_async_dwarf_fde_info_init<std::uint32_t>(
    crcrash_async_dwarf_fde_info_t*, const crcrash_async_mobject_t*, const crcrash_async_byteorder_t*,
    std::uint64_t, bool);
extern template crcrash_error_t crcrash_async_dwarf_fde_info_init<std::uint64_t>(
    crcrash_async_dwarf_fde_info_t*, const crcrash_async_mobject_t*, const crcrash_async_byteorder_t*,
    std::uint64_t, bool);

// Searches one mapped CFI section. The memory object is not owned.
class cfi_section_reader {
 public:
  cfi_section_reader(const crcrash_async_mobject_t* mobj, const crcrash_async_byteorder_t* byteorder,
                     bool m64, bool debug_frame);

  // Scans from `offset` (an entry start, e.g. from a sorted search table, or 0) for the FDE covering
  // `pc`: 0 when found, 8 when none covers it, another code on malformed data. `cie`, when given,
  // receives the found FDE's CIE as decoded on the way (with a pointer reader that has no bases set).
  crcrash_error_t find_fde(std::uint64_t offset, std::uint64_t pc, crcrash_async_dwarf_fde_info_t* fde,
                           crcrash_async_dwarf_cie_info_t* cie = nullptr) const;

 private:
  const crcrash_async_mobject_t* _mobj;
  const crcrash_async_byteorder_t* _byteorder;
  bool _m64;
  bool _debug_frame;
};
