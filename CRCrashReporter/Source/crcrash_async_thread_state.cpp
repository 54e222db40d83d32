#include "crcrash_async_thread_state.h"

#include <cstdlib>
#include <iterator>

#include "Platform/CRThreads.h"

namespace pc = platform::crash;

namespace {

bool is_32(const crcrash_async_thread_state_t* state) {
  return state->thread.tsh.flavor == pc::x86_THREAD_STATE32;
}

// The Mach field behind each 64-bit register number.
std::uint64_t* reg64(crcrash_async_thread_state_t* state, crcrash_regnum_t regnum) {
  pc::x86_thread_state64_t& ts = state->thread.uts.ts64;
  switch (regnum) {
    case CRCRASH_X86_64_RIP:
      return &ts.rip;
    case CRCRASH_X86_64_RBP:
      return &ts.rbp;
    case CRCRASH_X86_64_RSP:
      return &ts.rsp;
    case CRCRASH_X86_64_RAX:
      return &ts.rax;
    case CRCRASH_X86_64_RBX:
      return &ts.rbx;
    case CRCRASH_X86_64_RCX:
      return &ts.rcx;
    case CRCRASH_X86_64_RDX:
      return &ts.rdx;
    case CRCRASH_X86_64_RDI:
      return &ts.rdi;
    case CRCRASH_X86_64_RSI:
      return &ts.rsi;
    case CRCRASH_X86_64_R8:
      return &ts.r8;
    case CRCRASH_X86_64_R9:
      return &ts.r9;
    case CRCRASH_X86_64_R10:
      return &ts.r10;
    case CRCRASH_X86_64_R11:
      return &ts.r11;
    case CRCRASH_X86_64_R12:
      return &ts.r12;
    case CRCRASH_X86_64_R13:
      return &ts.r13;
    case CRCRASH_X86_64_R14:
      return &ts.r14;
    case CRCRASH_X86_64_R15:
      return &ts.r15;
    case CRCRASH_X86_64_RFLAGS:
      return &ts.rflags;
    case CRCRASH_X86_64_CS:
      return &ts.cs;
    case CRCRASH_X86_64_FS:
      return &ts.fs;
    case CRCRASH_X86_64_GS:
      return &ts.gs;
  }
  __builtin_trap();
}

// The Mach field behind each 32-bit register number; register 10 is the exception block's trap number.
std::uint32_t* reg32(crcrash_async_thread_state_t* state, crcrash_regnum_t regnum) {
  pc::x86_thread_state32_t& ts = state->thread.uts.ts32;
  switch (regnum) {
    case CRCRASH_X86_EIP:
      return &ts.eip;
    case CRCRASH_X86_EBP:
      return &ts.ebp;
    case CRCRASH_X86_ESP:
      return &ts.esp;
    case CRCRASH_X86_EAX:
      return &ts.eax;
    case CRCRASH_X86_EDX:
      return &ts.edx;
    case CRCRASH_X86_ECX:
      return &ts.ecx;
    case CRCRASH_X86_EBX:
      return &ts.ebx;
    case CRCRASH_X86_ESI:
      return &ts.esi;
    case CRCRASH_X86_EDI:
      return &ts.edi;
    case CRCRASH_X86_EFLAGS:
      return &ts.eflags;
    case CRCRASH_X86_CS:
      return &ts.cs;
    case CRCRASH_X86_DS:
      return &ts.ds;
    case CRCRASH_X86_ES:
      return &ts.es;
    case CRCRASH_X86_FS:
      return &ts.fs;
    case CRCRASH_X86_GS:
      return &ts.gs;
  }
  __builtin_trap();
}

const char* const kNames64[] = {"rip", "rbp", "rsp", "rax", "rbx", "rcx", "rdx",    "rdi", "rsi", "r8", "r9",
                                "r10", "r11", "r12", "r13", "r14", "r15", "rflags", "cs",  "fs",  "gs"};
const char* const kNames32[] = {"eip", "ebp",    "esp",    "eax", "edx", "ecx", "ebx", "esi",
                                "edi", "eflags", "trapno", "cs",  "ds",  "es",  "fs",  "gs"};

struct DwarfPair {
  std::uint64_t dwarf;
  crcrash_regnum_t reg;
};
const DwarfPair kDwarf64[] = {
    {0, CRCRASH_X86_64_RAX},     {1, CRCRASH_X86_64_RDX},  {2, CRCRASH_X86_64_RCX},  {3, CRCRASH_X86_64_RBX},
    {4, CRCRASH_X86_64_RSI},     {5, CRCRASH_X86_64_RDI},  {6, CRCRASH_X86_64_RBP},  {7, CRCRASH_X86_64_RSP},
    {8, CRCRASH_X86_64_R8},      {9, CRCRASH_X86_64_R9},   {10, CRCRASH_X86_64_R10}, {11, CRCRASH_X86_64_R11},
    {12, CRCRASH_X86_64_R12},    {13, CRCRASH_X86_64_R13}, {14, CRCRASH_X86_64_R14}, {15, CRCRASH_X86_64_R15},
    {49, CRCRASH_X86_64_RFLAGS}, {51, CRCRASH_X86_64_CS},  {54, CRCRASH_X86_64_FS},  {55, CRCRASH_X86_64_GS},
};
const DwarfPair kDwarf32[] = {
    {0, CRCRASH_X86_EAX}, {1, CRCRASH_X86_ECX}, {2, CRCRASH_X86_EDX},
    {3, CRCRASH_X86_EBX}, {4, CRCRASH_X86_EBP}, {5, CRCRASH_X86_ESP},
    {6, CRCRASH_X86_ESI}, {7, CRCRASH_X86_EDI}, {8, CRCRASH_X86_EIP},
};

}  // namespace

crcrash_error_t crcrash_async_thread_state_init(crcrash_async_thread_state_t* state,
                                                platform::crash::cpu_type_t cpu_type) {
  if (cpu_type != pc::CPU_TYPE_X86 && cpu_type != pc::CPU_TYPE_X86_64) return CRCRASH_ERR_NOTSUP;
  crcrash_async_memset(state, 0, sizeof *state);
  state->stack_direction = CRCRASH_ASYNC_STACK_DIRECTION_DOWN;
  if (cpu_type == pc::CPU_TYPE_X86_64) {
    state->thread.tsh = {pc::x86_THREAD_STATE64, pc::x86_THREAD_STATE64_COUNT};
    state->exception.esh = {pc::x86_EXCEPTION_STATE64, pc::x86_EXCEPTION_STATE64_COUNT};
    state->greg_size = 8;
  } else {
    state->thread.tsh = {pc::x86_THREAD_STATE32, pc::x86_THREAD_STATE32_COUNT};
    state->exception.esh = {pc::x86_EXCEPTION_STATE32, pc::x86_EXCEPTION_STATE32_COUNT};
    state->greg_size = 4;
  }
  return CRCRASH_ERR_NONE;
}

void crcrash_async_thread_state_mcontext_init(crcrash_async_thread_state_t* state,
                                              const platform::crash::cr_mcontext64* mctx) {
  crcrash_async_memset(state, 0, sizeof *state);
  state->stack_direction = CRCRASH_ASYNC_STACK_DIRECTION_DOWN;
  state->greg_size = 8;
  state->thread.tsh = {pc::x86_THREAD_STATE64, pc::x86_THREAD_STATE64_COUNT};
  state->exception.esh = {pc::x86_EXCEPTION_STATE64, pc::x86_EXCEPTION_STATE64_COUNT};
  crcrash_async_memcpy(&state->thread.uts.ts64, &mctx->ss, sizeof mctx->ss);
  crcrash_async_memcpy(&state->exception.ues.es64, &mctx->es, sizeof mctx->es);
  state->valid_regs = (1ULL << CRCRASH_X86_64_REG_COUNT) - 1;
}

crcrash_error_t crcrash_async_thread_state_mach_thread_init(crcrash_async_thread_state_t* state,
                                                            thread_t thread) {
  crcrash_async_memset(state, 0, sizeof *state);
  pc::mach_msg_type_number_t count = pc::x86_THREAD_STATE_COUNT;
  kern_return_t kr = pc::thread_get_state(thread, pc::x86_THREAD_STATE, &state->thread, &count);
  if (kr != pc::KERN_SUCCESS) {
    CRCRASH_DEBUG("Fetch of x86 thread state failed with Mach error: %d", kr);
    return CRCRASH_ERR_INTERNAL;
  }
  count = pc::x86_EXCEPTION_STATE_COUNT;
  kr = pc::thread_get_state(thread, pc::x86_EXCEPTION_STATE, &state->exception, &count);
  if (kr != pc::KERN_SUCCESS) {
    CRCRASH_DEBUG("Fetch of x86 exception state failed with Mach error: %d", kr);
    return CRCRASH_ERR_INTERNAL;
  }
  state->stack_direction = CRCRASH_ASYNC_STACK_DIRECTION_DOWN;
  if (state->thread.tsh.flavor == pc::x86_THREAD_STATE64) {
    state->greg_size = 8;
    state->valid_regs = (1ULL << CRCRASH_X86_64_REG_COUNT) - 1;
  } else {
    state->greg_size = 4;
    state->valid_regs = (1ULL << CRCRASH_X86_REG_COUNT) - 1;
  }
  return CRCRASH_ERR_NONE;
}

// Called by the assembly routine with the machine context it filled on its own stack.
extern "C" int crcrash_async_thread_state_current_finish(const platform::crash::cr_mcontext64* mctx,
                                                         crcrash_async_thread_state_current_callback callback,
                                                         void* context) {
  crcrash_async_thread_state_t state;
  crcrash_async_thread_state_mcontext_init(&state, mctx);
  return callback(&state, context);
}

void crcrash_async_thread_state_copy(crcrash_async_thread_state_t* dest,
                                     const crcrash_async_thread_state_t* source) {
  crcrash_async_memcpy(dest, source, sizeof *dest);
}

bool crcrash_async_thread_state_has_reg(const crcrash_async_thread_state_t* state, crcrash_regnum_t regnum) {
  return regnum < 64 && (state->valid_regs & (1ULL << regnum)) != 0;
}

std::uint64_t crcrash_async_thread_state_get_reg(const crcrash_async_thread_state_t* state,
                                                 crcrash_regnum_t regnum) {
  auto* s = const_cast<crcrash_async_thread_state_t*>(state);
  if (is_32(state)) {
    if (regnum == CRCRASH_X86_TRAPNO) return s->exception.ues.es32.trapno;
    return *reg32(s, regnum);
  }
  return *reg64(s, regnum);
}

void crcrash_async_thread_state_set_reg(crcrash_async_thread_state_t* state, crcrash_regnum_t regnum,
                                        std::uint64_t value) {
  if (is_32(state)) {
    if (regnum == CRCRASH_X86_TRAPNO) {
      state->exception.ues.es32.trapno = static_cast<std::uint16_t>(value);
    } else {
      *reg32(state, regnum) = static_cast<std::uint32_t>(value);
    }
  } else {
    *reg64(state, regnum) = value;
  }
  state->valid_regs |= 1ULL << regnum;
}

void crcrash_async_thread_state_clear_reg(crcrash_async_thread_state_t* state, crcrash_regnum_t regnum) {
  state->valid_regs &= ~(1ULL << regnum);
}

void crcrash_async_thread_state_clear_all_regs(crcrash_async_thread_state_t* state) { state->valid_regs = 0; }

void crcrash_async_thread_state_clear_volatile_regs(crcrash_async_thread_state_t* state) {
  std::uint64_t keep;
  if (is_32(state)) {
    keep = (1ULL << CRCRASH_X86_EBX) | (1ULL << CRCRASH_X86_EBP) | (1ULL << CRCRASH_X86_ESI) |
           (1ULL << CRCRASH_X86_EDI) | (1ULL << CRCRASH_X86_ESP);
  } else {
    keep = (1ULL << CRCRASH_X86_64_RBX) | (1ULL << CRCRASH_X86_64_RSP) | (1ULL << CRCRASH_X86_64_RBP) |
           (1ULL << CRCRASH_X86_64_R12) | (1ULL << CRCRASH_X86_64_R13) | (1ULL << CRCRASH_X86_64_R14) |
           (1ULL << CRCRASH_X86_64_R15);
  }
  state->valid_regs &= keep;
}

std::size_t crcrash_async_thread_state_get_reg_count(const crcrash_async_thread_state_t* state) {
  return is_32(state) ? std::size_t{CRCRASH_X86_REG_COUNT} : std::size_t{CRCRASH_X86_64_REG_COUNT};
}

namespace {
const char* regname_64(crcrash_regnum_t regnum) {
  if (regnum >= CRCRASH_X86_64_REG_COUNT) {
    crcrash_async_debug_log("crcrash_async_thread_state_get_regname_64", __LINE__,
                            "Missing register name for register id: %d", static_cast<int>(regnum));
    abort();
  }
  return kNames64[regnum];
}
const char* regname_32(crcrash_regnum_t regnum) {
  if (regnum >= CRCRASH_X86_REG_COUNT) {
    crcrash_async_debug_log("crcrash_async_thread_state_get_regname_32", __LINE__,
                            "Missing register name for register id: %d", static_cast<int>(regnum));
    abort();
  }
  return kNames32[regnum];
}
}  // namespace

const char* crcrash_async_thread_state_get_regname(const crcrash_async_thread_state_t* state,
                                                   crcrash_regnum_t regnum) {
  return is_32(state) ? regname_32(regnum) : regname_64(regnum);
}

std::uint32_t crcrash_async_thread_state_get_stack_direction(const crcrash_async_thread_state_t* state) {
  return state->stack_direction;
}

std::uint64_t crcrash_async_thread_state_get_greg_size(const crcrash_async_thread_state_t* state) {
  return state->greg_size;
}

bool crcrash_async_thread_state_map_dwarf_to_reg(const crcrash_async_thread_state_t* state,
                                                 std::uint64_t dwarf_reg, crcrash_regnum_t* regnum) {
  const DwarfPair* table = is_32(state) ? kDwarf32 : kDwarf64;
  std::size_t count = is_32(state) ? std::size(kDwarf32) : std::size(kDwarf64);
  for (std::size_t i = 0; i < count; ++i) {
    if (table[i].dwarf == dwarf_reg) {
      *regnum = table[i].reg;
      return true;
    }
  }
  return false;
}

bool crcrash_async_thread_state_map_reg_to_dwarf(const crcrash_async_thread_state_t* state,
                                                 crcrash_regnum_t regnum, std::uint64_t* dwarf_reg) {
  const DwarfPair* table = is_32(state) ? kDwarf32 : kDwarf64;
  std::size_t count = is_32(state) ? std::size(kDwarf32) : std::size(kDwarf64);
  for (std::size_t i = 0; i < count; ++i) {
    if (table[i].reg == regnum) {
      *dwarf_reg = table[i].dwarf;
      return true;
    }
  }
  return false;
}
