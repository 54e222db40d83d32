// Call-frame information from fuzzer bytes: the FDE search, CIE and FDE decoding, both call-frame programs
// and applying the rules to a synthetic register set. Input: a flags byte (bit 0: 32-bit variant, bit 1:
// .debug_frame), the PC as a 32-bit offset into the section, a 16-bit search start, then the section.
#include "UnwindFuzz.h"
#include "crcrash_async_dwarf_cfa_state.h"

namespace {

template <typename machine_ptr, typename machine_ptr_s>
void run(const crcrash_async_mobject_t* mobj, bool debug_frame, std::uint64_t pc, std::uint64_t hint) {
  const crcrash_async_byteorder_t* order = crcrash_async_byteorder_little_endian();
  cfi_section_reader reader(mobj, order, sizeof(machine_ptr) == 8, debug_frame);
  crcrash_async_dwarf_fde_info_t fde;
  if (reader.find_fde(hint, pc, &fde) != CRCRASH_ERR_NONE) return;
  gnu_ehptr_reader<machine_ptr> ptr_reader(order);
  crcrash_async_dwarf_cie_info_t cie;
  const std::uint64_t base = crcrash_async_mobject_base_address(mobj);
  if (crcrash_async_dwarf_cie_info_init<machine_ptr>(&cie, mobj, order, &ptr_reader, base + fde.cie_offset) !=
      CRCRASH_ERR_NONE) {
    return;
  }
  dwarf_cfa_state<machine_ptr, machine_ptr_s> state;
  if (state.eval_program(mobj, static_cast<machine_ptr>(pc), static_cast<machine_ptr>(fde.pc_start), &cie,
                         &ptr_reader, order, base, static_cast<std::int64_t>(cie.initial_instructions_offset),
                         cie.initial_instructions_length) != CRCRASH_ERR_NONE) {
    return;
  }
  if (state.eval_program(mobj, static_cast<machine_ptr>(pc), static_cast<machine_ptr>(fde.pc_start), &cie,
                         &ptr_reader, order, base, static_cast<std::int64_t>(fde.instructions_offset),
                         fde.instructions_length) != CRCRASH_ERR_NONE) {
    return;
  }
  const crcrash_async_thread_state_t current = fuzz_unwind::registers(sizeof(machine_ptr) == 8);
  crcrash_async_thread_state_t next;
  state.apply_state(platform::crash::mach_task_self(), &cie, &current, order, &next);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 8) return 0;
  const std::uint8_t flags = data[0];
  std::uint32_t pc_offset;
  std::uint16_t hint;
  std::memcpy(&pc_offset, data + 1, 4);
  std::memcpy(&hint, data + 5, 2);
  crcrash_async_mobject_t mobj;
  if (!fuzz_unwind::load(data + 7, size - 7, &mobj)) return 0;
  const std::uint64_t pc = crcrash_async_mobject_base_address(&mobj) + pc_offset;
  if ((flags & 1) != 0) {
    run<std::uint32_t, std::int32_t>(&mobj, (flags & 2) != 0, pc & 0xFFFFFFFF, hint);
  } else {
    run<std::uint64_t, std::int64_t>(&mobj, (flags & 2) != 0, pc, hint);
  }
  crcrash_async_mobject_free(&mobj);
  return 0;
}
