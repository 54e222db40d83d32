#pragma once
// The small piece of the Mach interface that the crash engine is written against, on Linux terms:
// a task is a process id, a thread is a thread id, and port references cost nothing.

#include <cstdint>

namespace platform::crash {

using kern_return_t = int;
using mach_port_t = std::uint32_t;
using task_t = mach_port_t;
using thread_t = mach_port_t;
using mach_vm_address_t = std::uint64_t;
using mach_vm_size_t = std::uint64_t;
using mach_msg_type_number_t = std::uint32_t;
using cpu_type_t = std::int32_t;
using cpu_subtype_t = std::int32_t;

inline constexpr mach_port_t MACH_PORT_NULL = 0;

inline constexpr kern_return_t KERN_SUCCESS = 0;
inline constexpr kern_return_t KERN_INVALID_ADDRESS = 1;
inline constexpr kern_return_t KERN_PROTECTION_FAILURE = 2;
inline constexpr kern_return_t KERN_INVALID_ARGUMENT = 4;
inline constexpr kern_return_t KERN_FAILURE = 5;
inline constexpr kern_return_t KERN_RESOURCE_SHORTAGE = 6;
inline constexpr kern_return_t KERN_OPERATION_TIMED_OUT = 49;

inline constexpr cpu_type_t CPU_TYPE_X86 = 7;
inline constexpr cpu_type_t CPU_TYPE_X86_64 = 0x1000007;
inline constexpr cpu_subtype_t CPU_SUBTYPE_X86_64_ALL = 3;

// Register blocks, laid out as the Mach headers of x86 lay them out.
struct x86_thread_state32_t {
  std::uint32_t eax, ebx, ecx, edx, edi, esi, ebp, esp, ss, eflags, eip, cs, ds, es, fs, gs;
};
struct x86_thread_state64_t {
  std::uint64_t rax, rbx, rcx, rdx, rdi, rsi, rbp, rsp, r8, r9, r10, r11, r12, r13, r14, r15, rip, rflags, cs,
      fs, gs;
};
struct x86_exception_state32_t {
  std::uint16_t trapno;
  std::uint16_t cpu;
  std::uint32_t err;
  std::uint32_t faultvaddr;
};
struct x86_exception_state64_t {
  std::uint16_t trapno;
  std::uint16_t cpu;
  std::uint32_t err;
  std::uint64_t faultvaddr;
};
struct x86_state_hdr_t {
  std::int32_t flavor;
  std::int32_t count;
};
struct x86_thread_state_t {
  x86_state_hdr_t tsh;
  union {
    x86_thread_state32_t ts32;
    x86_thread_state64_t ts64;
  } uts;
};
struct x86_exception_state_t {
  x86_state_hdr_t esh;
  union {
    x86_exception_state32_t es32;
    x86_exception_state64_t es64;
  } ues;
};
// The float block is kept only so that a machine context has the Mach shape; nothing reads it.
struct x86_float_state64_t {
  std::uint8_t fxsave[512];
};
// A 64-bit machine context: exception state, then thread state, then float state.
struct cr_mcontext64 {
  x86_exception_state64_t es;
  x86_thread_state64_t ss;
  x86_float_state64_t fs;
};

inline constexpr std::int32_t x86_THREAD_STATE32 = 1;
inline constexpr std::int32_t x86_EXCEPTION_STATE32 = 3;
inline constexpr std::int32_t x86_THREAD_STATE64 = 4;
inline constexpr std::int32_t x86_EXCEPTION_STATE64 = 6;
inline constexpr std::int32_t x86_THREAD_STATE = 7;
inline constexpr std::int32_t x86_EXCEPTION_STATE = 9;
inline constexpr std::int32_t x86_THREAD_STATE32_COUNT = sizeof(x86_thread_state32_t) / 4;
inline constexpr std::int32_t x86_THREAD_STATE64_COUNT = sizeof(x86_thread_state64_t) / 4;
inline constexpr std::int32_t x86_EXCEPTION_STATE32_COUNT = sizeof(x86_exception_state32_t) / 4;
inline constexpr std::int32_t x86_EXCEPTION_STATE64_COUNT = sizeof(x86_exception_state64_t) / 4;
inline constexpr std::int32_t x86_THREAD_STATE_COUNT = sizeof(x86_thread_state_t) / 4;
inline constexpr std::int32_t x86_EXCEPTION_STATE_COUNT = sizeof(x86_exception_state_t) / 4;
static_assert(x86_THREAD_STATE64_COUNT == 42 && x86_THREAD_STATE32_COUNT == 16);
static_assert(x86_EXCEPTION_STATE64_COUNT == 4 && x86_EXCEPTION_STATE32_COUNT == 3);
static_assert(x86_THREAD_STATE_COUNT == 44 && x86_EXCEPTION_STATE_COUNT == 6);

// The own process and the calling thread.
task_t mach_task_self();
thread_t mach_thread_self();
// References on tasks and threads cost nothing here; kept so that callers read as they would on Mach.
inline kern_return_t mach_port_mod_refs(mach_port_t, int) { return KERN_SUCCESS; }

}  // namespace platform::crash
