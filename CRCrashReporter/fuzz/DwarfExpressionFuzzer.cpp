// DWARF expressions from fuzzer bytes, in both word widths, with and without an initial value, against a
// synthetic register set. Input: a flags byte (bit 0: 32-bit variant, bit 1: push the stack pointer
// first), then the expression.
#include "UnwindFuzz.h"
#include "crcrash_async_dwarf_expression.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::uint8_t flags = data[0];
  crcrash_async_mobject_t mobj;
  if (!fuzz_unwind::load(data + 1, size - 1, &mobj)) return 0;
  const std::uint64_t address = crcrash_async_mobject_base_address(&mobj);
  const bool narrow = (flags & 1) != 0;
  const crcrash_async_thread_state_t state = fuzz_unwind::registers(!narrow);
  const std::size_t initial_count = (flags & 2) != 0 ? 1 : 0;
  if (narrow) {
    const std::uint32_t initial = static_cast<std::uint32_t>(fuzz_unwind::stack_middle());
    std::uint32_t result;
    crcrash_async_dwarf_expression_eval<std::uint32_t, std::int32_t>(
        &mobj, platform::crash::mach_task_self(), &state, crcrash_async_byteorder_little_endian(), address, 0,
        size - 1, &initial, initial_count, &result);
  } else {
    const std::uint64_t initial = fuzz_unwind::stack_middle();
    std::uint64_t result;
    crcrash_async_dwarf_expression_eval<std::uint64_t, std::int64_t>(
        &mobj, platform::crash::mach_task_self(), &state, crcrash_async_byteorder_little_endian(), address, 0,
        size - 1, &initial, initial_count, &result);
  }
  crcrash_async_mobject_free(&mobj);
  return 0;
}
