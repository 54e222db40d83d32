#pragma once
// Readers of the small encodings that DWARF call-frame information is built from: LEB128 numbers,
// fixed-width integers, pointers in their DW_EH_PE encodings, and a bounded stream over a run of
// call-frame instructions or expression bytes. All async-signal-safe: no allocation, every byte read
// through a checked memory object or a task read.

#include <cstdint>

#include "crcrash_async.h"

// DW_EH_PE pointer encodings.
inline constexpr std::uint8_t DW_EH_PE_absptr = 0x00;
inline constexpr std::uint8_t DW_EH_PE_uleb128 = 0x01;
inline constexpr std::uint8_t DW_EH_PE_udata2 = 0x02;
inline constexpr std::uint8_t DW_EH_PE_udata4 = 0x03;
inline constexpr std::uint8_t DW_EH_PE_udata8 = 0x04;
inline constexpr std::uint8_t DW_EH_PE_sleb128 = 0x09;
inline constexpr std::uint8_t DW_EH_PE_sdata2 = 0x0A;
inline constexpr std::uint8_t DW_EH_PE_sdata4 = 0x0B;
inline constexpr std::uint8_t DW_EH_PE_sdata8 = 0x0C;
inline constexpr std::uint8_t DW_EH_PE_pcrel = 0x10;
inline constexpr std::uint8_t DW_EH_PE_textrel = 0x20;
inline constexpr std::uint8_t DW_EH_PE_datarel = 0x30;
inline constexpr std::uint8_t DW_EH_PE_funcrel = 0x40;
inline constexpr std::uint8_t DW_EH_PE_aligned = 0x50;
inline constexpr std::uint8_t DW_EH_PE_indirect = 0x80;
inline constexpr std::uint8_t DW_EH_PE_omit = 0xFF;

crcrash_error_t crcrash_async_dwarf_read_uleb128(const crcrash_async_mobject_t* mobj, std::uint64_t location,
                                                 std::int64_t offset, std::uint64_t* result,
                                                 std::uint64_t* size);
crcrash_error_t crcrash_async_dwarf_read_sleb128(const crcrash_async_mobject_t* mobj, std::uint64_t location,
                                                 std::int64_t offset, std::int64_t* result,
                                                 std::uint64_t* size);
crcrash_error_t crcrash_async_dwarf_read_task_uleb128(task_t task, std::uint64_t location,
                                                      std::int64_t offset, std::uint64_t* result,
                                                      std::uint64_t* size);
crcrash_error_t crcrash_async_dwarf_read_task_sleb128(task_t task, std::uint64_t location,
                                                      std::int64_t offset, std::int64_t* result,
                                                      std::uint64_t* size);
crcrash_error_t crcrash_async_dwarf_read_uintmax64(const crcrash_async_mobject_t* mobj,
                                                   const crcrash_async_byteorder_t* byteorder,
                                                   std::uint64_t base_addr, std::int64_t offset,
                                                   std::uint8_t width, std::uint64_t* dest);

// Decodes DW_EH_PE-encoded pointers. One reader per parse, a plain stack value; the bases that an
// encoding may be relative to are unset until given.
template <typename machine_ptr>
class gnu_ehptr_reader {
 public:
  explicit gnu_ehptr_reader(const crcrash_async_byteorder_t* byteorder);

  void set_frame_section_base(std::uint64_t frame_section_base, std::uint64_t frame_section_vm_addr);
  void set_text_base(std::uint64_t text_base);
  void set_data_base(std::uint64_t data_base);
  void set_func_base(std::uint64_t func_base);

  // Reads the pointer encoded at location + offset. `size` receives the bytes consumed (an indirect
  // pointer's dereference does not count).
  crcrash_error_t read(const crcrash_async_mobject_t* mobj, std::uint64_t location, std::int64_t offset,
                       std::uint8_t encoding, machine_ptr* result, std::uint64_t* size) const;

  const crcrash_async_byteorder_t* byteorder() const { return _byteorder; }

 private:
  const crcrash_async_byteorder_t* _byteorder;
  bool _has_frame_section_base = false;
  std::uint64_t _frame_section_base = 0;
  std::uint64_t _frame_section_vm_addr = 0;
  bool _has_text_base = false;
  std::uint64_t _text_base = 0;
  bool _has_data_base = false;
  std::uint64_t _data_base = 0;
  bool _has_func_base = false;
  std::uint64_t _func_base = 0;
};

extern template class gnu_ehptr_reader<std::uint32_t>;
extern template class gnu_ehptr_reader<std::uint64_t>;

// A bounded cursor over a run of instruction bytes, mapped once. Every read checks that the item ends
// inside [first byte, end] and fails (false) otherwise, leaving the position where it was.
class dwarf_instruction_stream {
 public:
  crcrash_error_t init(const crcrash_async_mobject_t* mobj, const crcrash_async_byteorder_t* byteorder,
                       std::uint64_t address, std::int64_t offset, std::uint64_t length);

  bool read_uleb128(std::uint64_t* result);
  bool read_sleb128(std::int64_t* result);
  bool read_uint8(std::uint8_t* result);
  bool read_uint16(std::uint16_t* result);
  bool read_uint32(std::uint32_t* result);
  bool read_uint64(std::uint64_t* result);
  template <typename machine_ptr>
  bool read_gnueh_ptr(const gnu_ehptr_reader<machine_ptr>* reader, std::uint8_t encoding,
                      machine_ptr* result);

  // Moves the position to `position` bytes from the first byte; false (nothing moved) past the end.
  bool set_position(std::uint64_t position);
  std::uint64_t position() const { return static_cast<std::uint64_t>(_p - _first); }
  std::uint64_t length() const { return static_cast<std::uint64_t>(_end - _first); }
  bool at_end() const { return _p >= _end; }
  // Target address of the first byte.
  std::uint64_t start_address() const { return _start; }
  const crcrash_async_mobject_t* mobject() const { return _mobj; }
  const crcrash_async_byteorder_t* byteorder() const { return _byteorder; }

 private:
  bool take(void* dest, std::uint64_t size);

  const crcrash_async_mobject_t* _mobj = nullptr;
  const crcrash_async_byteorder_t* _byteorder = nullptr;
  std::uint64_t _start = 0;
  const std::uint8_t* _first = nullptr;
  const std::uint8_t* _end = nullptr;
  const std::uint8_t* _p = nullptr;
};
