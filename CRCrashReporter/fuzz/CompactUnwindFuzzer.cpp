// __unwind_info sections from fuzzer bytes: the two-level lookup, the decoding of what it finds and of a
// fuzzer-given encoding, the register permutation, and applying the entries to a synthetic register set.
// Input: a flags byte (bit 0: 32-bit x86), a 32-bit PC offset, a 32-bit encoding, then the section.
#include "UnwindFuzz.h"
#include "crcrash_async_compact_unwind.h"

namespace {

void apply(platform::crash::cpu_type_t cpu, std::uint32_t encoding, std::uint64_t function) {
  crcrash_async_cfe_entry_t entry;
  if (crcrash_async_cfe_entry_init(&entry, cpu, encoding) != CRCRASH_ERR_NONE) return;
  const crcrash_async_thread_state_t current =
      fuzz_unwind::registers(cpu == platform::crash::CPU_TYPE_X86_64);
  crcrash_async_thread_state_t next;
  crcrash_async_cfe_entry_apply(platform::crash::mach_task_self(), function, &current, &entry, &next);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 10) return 0;
  const platform::crash::cpu_type_t cpu =
      (data[0] & 1) != 0 ? platform::crash::CPU_TYPE_X86 : platform::crash::CPU_TYPE_X86_64;
  std::uint32_t pc, given;
  std::memcpy(&pc, data + 1, 4);
  std::memcpy(&given, data + 5, 4);
  std::uint32_t registers[6];
  crcrash_async_cfe_register_decode(given & 0x3FF, (given >> 10) & 7, registers);
  crcrash_async_mobject_t mobj;
  if (!fuzz_unwind::load(data + 9, size - 9, &mobj)) return 0;
  const std::uint64_t base = crcrash_async_mobject_base_address(&mobj);
  apply(cpu, given, base);
  crcrash_async_cfe_reader_t reader;
  if (crcrash_async_cfe_reader_init(&reader, &mobj, cpu) == CRCRASH_ERR_NONE) {
    std::uint64_t function = 0;
    std::uint32_t encoding = 0;
    if (crcrash_async_cfe_reader_find_pc(&reader, pc, &function, &encoding) == CRCRASH_ERR_NONE) {
      apply(cpu, encoding, base + (function & 0xFFFF));
    }
    crcrash_async_cfe_reader_free(&reader);
  }
  crcrash_async_mobject_free(&mobj);
  return 0;
}
