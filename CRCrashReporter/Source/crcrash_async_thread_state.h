#pragma once
// The register set that every unwinder reads and writes, and its three sources: a suspended thread, a
// signal's machine context and the calling thread.

#include <cstdint>

#include "crcrash_async.h"

using platform::crash::x86_exception_state_t;
using platform::crash::x86_thread_state_t;

struct crcrash_async_thread_state_t {
  std::uint32_t stack_direction;
  std::uint64_t greg_size;
  std::uint64_t valid_regs;
  x86_thread_state_t thread;
  x86_exception_state_t exception;
};

inline constexpr std::uint32_t CRCRASH_ASYNC_STACK_DIRECTION_UP = 1;
inline constexpr std::uint32_t CRCRASH_ASYNC_STACK_DIRECTION_DOWN = 2;

typedef std::uint32_t crcrash_regnum_t;

// Register numbers of x86-64.
enum : crcrash_regnum_t {
  CRCRASH_X86_64_RIP = 0,
  CRCRASH_X86_64_RBP,
  CRCRASH_X86_64_RSP,
  CRCRASH_X86_64_RAX,
  CRCRASH_X86_64_RBX,
  CRCRASH_X86_64_RCX,
  CRCRASH_X86_64_RDX,
  CRCRASH_X86_64_RDI,
  CRCRASH_X86_64_RSI,
  CRCRASH_X86_64_R8,
  CRCRASH_X86_64_R9,
  CRCRASH_X86_64_R10,
  CRCRASH_X86_64_R11,
  CRCRASH_X86_64_R12,
  CRCRASH_X86_64_R13,
  CRCRASH_X86_64_R14,
  CRCRASH_X86_64_R15,
  CRCRASH_X86_64_RFLAGS,
  CRCRASH_X86_64_CS,
  CRCRASH_X86_64_FS,
  CRCRASH_X86_64_GS,
  CRCRASH_X86_64_REG_COUNT
};

// Register numbers of 32-bit x86.
enum : crcrash_regnum_t {
  CRCRASH_X86_EIP = 0,
  CRCRASH_X86_EBP,
  CRCRASH_X86_ESP,
  CRCRASH_X86_EAX,
  CRCRASH_X86_EDX,
  CRCRASH_X86_ECX,
  CRCRASH_X86_EBX,
  CRCRASH_X86_ESI,
  CRCRASH_X86_EDI,
  CRCRASH_X86_EFLAGS,
  CRCRASH_X86_TRAPNO,
  CRCRASH_X86_CS,
  CRCRASH_X86_DS,
  CRCRASH_X86_ES,
  CRCRASH_X86_FS,
  CRCRASH_X86_GS,
  CRCRASH_X86_REG_COUNT
};

// Architecture-neutral names of the first three.
inline constexpr crcrash_regnum_t CRCRASH_REG_IP = 0;
inline constexpr crcrash_regnum_t CRCRASH_REG_FP = 1;
inline constexpr crcrash_regnum_t CRCRASH_REG_SP = 2;

typedef int (*crcrash_async_thread_state_current_callback)(crcrash_async_thread_state_t* state,
                                                           void* context);

crcrash_error_t crcrash_async_thread_state_init(crcrash_async_thread_state_t* state,
                                                platform::crash::cpu_type_t cpu_type);
void crcrash_async_thread_state_mcontext_init(crcrash_async_thread_state_t* state,
                                              const platform::crash::cr_mcontext64* mctx);
crcrash_error_t crcrash_async_thread_state_mach_thread_init(crcrash_async_thread_state_t* state,
                                                            thread_t thread);
// Written in assembly: the state describes the caller at the point of the call (rip = the return
// address, rbp = the caller's frame pointer, rsp = the caller's stack pointer after the return).
extern "C" int crcrash_async_thread_state_current(crcrash_async_thread_state_current_callback callback,
                                                  void* context);
void crcrash_async_thread_state_copy(crcrash_async_thread_state_t* dest,
                                     const crcrash_async_thread_state_t* source);

bool crcrash_async_thread_state_has_reg(const crcrash_async_thread_state_t* state, crcrash_regnum_t regnum);
std::uint64_t crcrash_async_thread_state_get_reg(const crcrash_async_thread_state_t* state,
                                                 crcrash_regnum_t regnum);
void crcrash_async_thread_state_set_reg(crcrash_async_thread_state_t* state, crcrash_regnum_t regnum,
                                        std::uint64_t value);
void crcrash_async_thread_state_clear_reg(crcrash_async_thread_state_t* state, crcrash_regnum_t regnum);
void crcrash_async_thread_state_clear_all_regs(crcrash_async_thread_state_t* state);
void crcrash_async_thread_state_clear_volatile_regs(crcrash_async_thread_state_t* state);
std::size_t crcrash_async_thread_state_get_reg_count(const crcrash_async_thread_state_t* state);
const char* crcrash_async_thread_state_get_regname(const crcrash_async_thread_state_t* state,
                                                   crcrash_regnum_t regnum);
std::uint32_t crcrash_async_thread_state_get_stack_direction(const crcrash_async_thread_state_t* state);
std::uint64_t crcrash_async_thread_state_get_greg_size(const crcrash_async_thread_state_t* state);
bool crcrash_async_thread_state_map_dwarf_to_reg(const crcrash_async_thread_state_t* state,
                                                 std::uint64_t dwarf_reg, crcrash_regnum_t* regnum);
bool crcrash_async_thread_state_map_reg_to_dwarf(const crcrash_async_thread_state_t* state,
                                                 crcrash_regnum_t regnum, std::uint64_t* dwarf_reg);
