// The register set: initialisers, register numbers and names, DWARF numbers, and capturing the caller.

#include <gtest/gtest.h>

#include "CrashTestSupport.h"
#include "crcrash_async_thread_state.h"

namespace pc = platform::crash;

TEST(CrashThreadState, InitSetsFlavorsAndNothingValid) {
  struct Case {
    pc::cpu_type_t cpu;
    crcrash_error_t expected;
    std::int32_t flavor, count, exception_flavor, exception_count;
    std::uint64_t greg_size;
    std::size_t regs;
  } cases[] = {
      {pc::CPU_TYPE_X86_64, CRCRASH_ERR_NONE, 4, 42, 6, 4, 8, 21},
      {pc::CPU_TYPE_X86, CRCRASH_ERR_NONE, 1, 16, 3, 3, 4, 16},
      {12, CRCRASH_ERR_NOTSUP, 0, 0, 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    crcrash_async_thread_state_t state;
    ASSERT_EQ(crcrash_async_thread_state_init(&state, c.cpu), c.expected);
    if (c.expected != CRCRASH_ERR_NONE) continue;
    EXPECT_EQ(state.thread.tsh.flavor, c.flavor);
    EXPECT_EQ(state.thread.tsh.count, c.count);
    EXPECT_EQ(state.exception.esh.flavor, c.exception_flavor);
    EXPECT_EQ(state.exception.esh.count, c.exception_count);
    EXPECT_EQ(crcrash_async_thread_state_get_greg_size(&state), c.greg_size);
    EXPECT_EQ(crcrash_async_thread_state_get_stack_direction(&state), 2u);
    EXPECT_EQ(crcrash_async_thread_state_get_reg_count(&state), c.regs);
    EXPECT_EQ(state.valid_regs, 0u);
  }
}

TEST(CrashThreadState, RegisterNamesAndFields) {
  crcrash_async_thread_state_t s64;
  crcrash_async_thread_state_init(&s64, pc::CPU_TYPE_X86_64);
  const char* names64[] = {"rip", "rbp", "rsp", "rax", "rbx", "rcx", "rdx",    "rdi", "rsi", "r8", "r9",
                           "r10", "r11", "r12", "r13", "r14", "r15", "rflags", "cs",  "fs",  "gs"};
  for (crcrash_regnum_t n = 0; n < 21; ++n) {
    EXPECT_STREQ(crcrash_async_thread_state_get_regname(&s64, n), names64[n]);
    crcrash_async_thread_state_set_reg(&s64, n, 0x1000 + n);
  }
  EXPECT_EQ(s64.thread.uts.ts64.rip, 0x1000u);
  EXPECT_EQ(s64.thread.uts.ts64.rsi, 0x1008u);
  EXPECT_EQ(s64.thread.uts.ts64.gs, 0x1014u);
  EXPECT_EQ(s64.valid_regs, (1ull << 21) - 1);

  crcrash_async_thread_state_t s32;
  crcrash_async_thread_state_init(&s32, pc::CPU_TYPE_X86);
  const char* names32[] = {"eip", "ebp",    "esp",    "eax", "edx", "ecx", "ebx", "esi",
                           "edi", "eflags", "trapno", "cs",  "ds",  "es",  "fs",  "gs"};
  for (crcrash_regnum_t n = 0; n < 16; ++n)
    EXPECT_STREQ(crcrash_async_thread_state_get_regname(&s32, n), names32[n]);
  crcrash_async_thread_state_set_reg(&s32, CRCRASH_X86_EDX, 0x44);
  EXPECT_EQ(s32.thread.uts.ts32.edx, 0x44u);
  // Register 10 of 32-bit x86 is the exception block's 16-bit trap number.
  s32.exception.ues.es32.trapno = 14;
  EXPECT_EQ(crcrash_async_thread_state_get_reg(&s32, CRCRASH_X86_TRAPNO), 14u);
  crcrash_async_thread_state_set_reg(&s32, CRCRASH_X86_TRAPNO, 0x10003);
  EXPECT_EQ(s32.exception.ues.es32.trapno, 3);
  EXPECT_TRUE(crcrash_async_thread_state_has_reg(&s32, CRCRASH_X86_TRAPNO));
  crcrash_async_thread_state_clear_reg(&s32, CRCRASH_X86_TRAPNO);
  EXPECT_FALSE(crcrash_async_thread_state_has_reg(&s32, CRCRASH_X86_TRAPNO));
}

TEST(CrashThreadStateDeathTest, NameBeyondTheTableAborts) {
  crcrash_async_thread_state_t s64;
  crcrash_async_thread_state_init(&s64, pc::CPU_TYPE_X86_64);
  EXPECT_DEATH(crcrash_async_thread_state_get_regname(&s64, 21),
               "crcrash_async_thread_state_get_regname_64:[0-9]+: Missing register name for register id: 21");
}

TEST(CrashThreadState, VolatileRegistersAreCleared) {
  for (pc::cpu_type_t cpu : {pc::CPU_TYPE_X86_64, pc::CPU_TYPE_X86}) {
    crcrash_async_thread_state_t state;
    crcrash_async_thread_state_init(&state, cpu);
    for (crcrash_regnum_t n = 0; n < crcrash_async_thread_state_get_reg_count(&state); ++n) {
      crcrash_async_thread_state_set_reg(&state, n, n);
    }
    crcrash_async_thread_state_clear_volatile_regs(&state);
    std::uint64_t kept =
        cpu == pc::CPU_TYPE_X86_64
            ? (1u << 4) | (1u << 2) | (1u << 1) | (1u << 13) | (1u << 14) | (1u << 15) | (1u << 16)
            : (1u << 6) | (1u << 1) | (1u << 7) | (1u << 8) | (1u << 2);
    EXPECT_EQ(state.valid_regs, kept) << cpu;
    crcrash_async_thread_state_clear_all_regs(&state);
    EXPECT_EQ(state.valid_regs, 0u);
  }
}

TEST(CrashThreadState, DwarfNumbers) {
  crcrash_async_thread_state_t s64, s32;
  crcrash_async_thread_state_init(&s64, pc::CPU_TYPE_X86_64);
  crcrash_async_thread_state_init(&s32, pc::CPU_TYPE_X86);
  struct Case {
    const crcrash_async_thread_state_t* state;
    std::uint64_t dwarf;
    bool known;
    crcrash_regnum_t reg;
  } cases[] = {
      {&s64, 0, true, CRCRASH_X86_64_RAX},
      {&s64, 1, true, CRCRASH_X86_64_RDX},
      {&s64, 6, true, CRCRASH_X86_64_RBP},
      {&s64, 7, true, CRCRASH_X86_64_RSP},
      {&s64, 15, true, CRCRASH_X86_64_R15},
      {&s64, 49, true, CRCRASH_X86_64_RFLAGS},
      {&s64, 55, true, CRCRASH_X86_64_GS},
      {&s64, 16, false, 0},
      {&s64, 50, false, 0},
      {&s32, 4, true, CRCRASH_X86_EBP},
      {&s32, 5, true, CRCRASH_X86_ESP},
      {&s32, 8, true, CRCRASH_X86_EIP},
      {&s32, 9, false, 0},
  };
  for (const Case& c : cases) {
    crcrash_regnum_t reg = 99;
    EXPECT_EQ(crcrash_async_thread_state_map_dwarf_to_reg(c.state, c.dwarf, &reg), c.known) << c.dwarf;
    if (!c.known) continue;
    EXPECT_EQ(reg, c.reg) << c.dwarf;
    std::uint64_t back = 99;
    EXPECT_TRUE(crcrash_async_thread_state_map_reg_to_dwarf(c.state, c.reg, &back));
    EXPECT_EQ(back, c.dwarf);
  }
  std::uint64_t dwarf;
  EXPECT_FALSE(crcrash_async_thread_state_map_reg_to_dwarf(&s64, CRCRASH_X86_64_RIP, &dwarf));
}

namespace {

struct Captured {
  crcrash_async_thread_state_t state;
  void* frame_address;
  void* stack_marker;
};

int keep_state(crcrash_async_thread_state_t* state, void* context) {
  static_cast<Captured*>(context)->state = *state;
  return 77;
}

__attribute__((noinline)) int capture_here(Captured* out) {
  volatile int marker = 0;
  out->stack_marker = const_cast<int*>(&marker);
  out->frame_address = __builtin_frame_address(0);
  int result = crcrash_async_thread_state_current(keep_state, out);
  asm volatile("" ::: "memory");
  return result;
}

}  // namespace

TEST(CrashThreadState, CurrentDescribesTheCaller) {
  Captured captured{};
  EXPECT_EQ(capture_here(&captured), 77);
  const crcrash_async_thread_state_t& s = captured.state;
  EXPECT_EQ(s.valid_regs, (1ull << 21) - 1);
  EXPECT_EQ(s.greg_size, 8u);
  EXPECT_EQ(s.thread.tsh.flavor, pc::x86_THREAD_STATE64);
  // rbp is the caller's frame pointer; rsp lies in the caller's frame; rip returns into the caller.
  EXPECT_EQ(s.thread.uts.ts64.rbp, reinterpret_cast<std::uint64_t>(captured.frame_address));
  EXPECT_LE(s.thread.uts.ts64.rsp, reinterpret_cast<std::uint64_t>(captured.stack_marker));
  EXPECT_GT(s.thread.uts.ts64.rsp + 256, reinterpret_cast<std::uint64_t>(captured.stack_marker));
  auto start = reinterpret_cast<std::uint64_t>(&capture_here);
  EXPECT_GT(s.thread.uts.ts64.rip, start);
  EXPECT_LT(s.thread.uts.ts64.rip, start + 512);
  EXPECT_NE(s.thread.uts.ts64.cs, 0u);
}
