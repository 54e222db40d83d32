#pragma once
// Shared by the unwinding fuzzers: one fixed readable buffer that each input's section or expression is
// copied into (so the readable-region table never goes stale), a memory object over exactly the input's
// bytes, and a synthetic register set whose stack lies in a buffer of its own.

#include <sys/mman.h>

#include <cstdint>
#include <cstring>

#include "Platform/CRTaskMemory.h"
#include "crcrash_async_thread_state.h"

namespace fuzz_unwind {

inline constexpr std::size_t kBufferSize = 1 << 16;

inline std::uint8_t* buffer() {
  static std::uint8_t* b = [] {
    void* p = mmap(nullptr, kBufferSize * 2, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    auto* bytes = static_cast<std::uint8_t*>(p);
    // The second half is the stack the register rules read: a pattern of small and pointer-like words.
    for (std::size_t i = 0; i < kBufferSize; i += 8) {
      std::uint64_t word = i % 16 == 0 ? reinterpret_cast<std::uint64_t>(bytes + kBufferSize + i) : i * 7;
      std::memcpy(bytes + kBufferSize + i, &word, 8);
    }
    platform::crash::region_table_refresh();
    return bytes;
  }();
  return b;
}

inline std::uint64_t stack_middle() {
  return reinterpret_cast<std::uint64_t>(buffer() + kBufferSize + kBufferSize / 2);
}

// Copies the input into the buffer; false when there is nothing to map or the input does not fit.
inline bool load(const std::uint8_t* data, std::size_t size, crcrash_async_mobject_t* mobj) {
  if (size == 0 || size > kBufferSize) return false;
  std::memcpy(buffer(), data, size);
  return crcrash_async_mobject_init(mobj, platform::crash::mach_task_self(),
                                    reinterpret_cast<std::uint64_t>(buffer()), size,
                                    true) == CRCRASH_ERR_NONE;
}

inline crcrash_async_thread_state_t registers(bool m64) {
  crcrash_async_thread_state_t state;
  crcrash_async_thread_state_init(&state,
                                  m64 ? platform::crash::CPU_TYPE_X86_64 : platform::crash::CPU_TYPE_X86);
  const std::size_t count = crcrash_async_thread_state_get_reg_count(&state);
  for (crcrash_regnum_t r = 0; r < count; ++r) {
    std::uint64_t value = r == CRCRASH_REG_SP || r == CRCRASH_REG_FP ? stack_middle() : 0x1000 * (r + 1);
    crcrash_async_thread_state_set_reg(&state, r, m64 ? value : value & 0xFFFFFFFF);
  }
  return state;
}

}  // namespace fuzz_unwind
