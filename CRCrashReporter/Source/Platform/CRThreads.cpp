#include "CRThreads.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>

#include "platform/ThreadSignals.h"

namespace platform::crash {

namespace {

enum SlotState : std::uint32_t { kFree = 0, kClaimed, kRequested, kStopped, kResume, kParked };

// One preallocated slot per thread being stopped; the state word doubles as the futex both sides wait on.
struct Slot {
  std::atomic<std::uint32_t> state;
  std::atomic<std::uint32_t> tid;
  x86_exception_state64_t es;
  x86_thread_state64_t ss;
};

constexpr std::size_t kSlots = 2048;
// Zero-initialised at compile time: a dynamic initialiser would write, and so make resident, every
// page of the table in every process at start-up.
constinit Slot g_slots[kSlots]{};
std::atomic<int> g_signal{0};

long futex(std::atomic<std::uint32_t>* word, int op, std::uint32_t value, const timespec* timeout) {
  return syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), op, value, timeout, nullptr, 0);
}

std::uint64_t now_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000ULL + static_cast<std::uint64_t>(ts.tv_nsec);
}

void fill_states(const ucontext_t* uc, x86_exception_state64_t* es, x86_thread_state64_t* ss) {
  const greg_t* g = uc->uc_mcontext.gregs;
  auto r = [g](int index) { return static_cast<std::uint64_t>(g[index]); };
  ss->rax = r(REG_RAX);
  ss->rbx = r(REG_RBX);
  ss->rcx = r(REG_RCX);
  ss->rdx = r(REG_RDX);
  ss->rdi = r(REG_RDI);
  ss->rsi = r(REG_RSI);
  ss->rbp = r(REG_RBP);
  ss->rsp = r(REG_RSP);
  ss->r8 = r(REG_R8);
  ss->r9 = r(REG_R9);
  ss->r10 = r(REG_R10);
  ss->r11 = r(REG_R11);
  ss->r12 = r(REG_R12);
  ss->r13 = r(REG_R13);
  ss->r14 = r(REG_R14);
  ss->r15 = r(REG_R15);
  ss->rip = r(REG_RIP);
  ss->rflags = r(REG_EFL);
  // REG_CSGSFS packs the 16-bit selectors cs, gs and fs from the low end.
  std::uint64_t selectors = r(REG_CSGSFS);
  ss->cs = selectors & 0xFFFF;
  ss->gs = (selectors >> 16) & 0xFFFF;
  ss->fs = (selectors >> 32) & 0xFFFF;
  es->trapno = static_cast<std::uint16_t>(r(REG_TRAPNO));
  es->cpu = 0;
  es->err = static_cast<std::uint32_t>(r(REG_ERR));
  es->faultvaddr = r(REG_CR2);
}

void suspend_handler(int, siginfo_t*, void* context) {
  int saved_errno = errno;
  auto tid = static_cast<std::uint32_t>(syscall(SYS_gettid));
  Slot* slot = nullptr;
  for (Slot& s : g_slots) {
    if (s.state.load(std::memory_order_acquire) == kRequested &&
        s.tid.load(std::memory_order_relaxed) == tid) {
      slot = &s;
      break;
    }
  }
  // A signal that arrives after its suspension was given up finds no slot and changes nothing.
  if (slot != nullptr) {
    fill_states(static_cast<const ucontext_t*>(context), &slot->es, &slot->ss);
    std::uint32_t expected = kRequested;
    if (slot->state.compare_exchange_strong(expected, kStopped, std::memory_order_acq_rel)) {
      futex(&slot->state, FUTEX_WAKE_PRIVATE, 1, nullptr);
      while (slot->state.load(std::memory_order_acquire) == kStopped) {
        futex(&slot->state, FUTEX_WAIT_PRIVATE, kStopped, nullptr);
      }
      slot->tid.store(0, std::memory_order_relaxed);
      slot->state.store(kFree, std::memory_order_release);
    }
  }
  errno = saved_errno;
}

Slot* find_slot(thread_t thread, std::uint32_t state) {
  for (Slot& s : g_slots) {
    if (s.state.load(std::memory_order_acquire) == state && s.tid.load(std::memory_order_relaxed) == thread)
      return &s;
  }
  return nullptr;
}

Slot* claim_slot() {
  for (Slot& s : g_slots) {
    std::uint32_t expected = kFree;
    if (s.state.compare_exchange_strong(expected, kClaimed, std::memory_order_acq_rel)) return &s;
  }
  return nullptr;
}

}  // namespace

int threads_arm() {
  static std::mutex arm_mutex;
  std::lock_guard lock(arm_mutex);
  if (int chosen = g_signal.load(); chosen != 0) return chosen;
  // Chosen from the range the platform's own background threads leave open, and recorded, so that
  // threads started from now on leave exactly this one open.
  for (int sig = platform::firstThreadStopSignal(); sig <= platform::lastThreadStopSignal(); ++sig) {
    struct sigaction current;
    if (sigaction(sig, nullptr, &current) != 0) continue;
    if ((current.sa_flags & SA_SIGINFO) == 0 && current.sa_handler != SIG_DFL) continue;
    if ((current.sa_flags & SA_SIGINFO) != 0 && current.sa_sigaction != nullptr) continue;
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_sigaction = suspend_handler;
    action.sa_flags = SA_SIGINFO | SA_RESTART | SA_ONSTACK;
    sigfillset(&action.sa_mask);
    if (sigaction(sig, &action, nullptr) != 0) continue;
    g_signal.store(sig);
    platform::setThreadStopSignal(sig);
    return sig;
  }
  return 0;
}

int threads_signal() { return g_signal.load(); }

kern_return_t task_threads(thread_t* threads, std::size_t capacity, std::size_t* count) {
  *count = 0;
  int fd = open("/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return KERN_FAILURE;
  alignas(8) char buffer[4096];
  kern_return_t result = KERN_SUCCESS;
  for (;;) {
    long n = syscall(SYS_getdents64, fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      result = KERN_FAILURE;
      break;
    }
    if (n == 0) break;
    for (long offset = 0; offset < n;) {
      // struct linux_dirent64: d_ino (8), d_off (8), d_reclen (2), d_type (1), d_name.
      std::uint16_t reclen;
      std::memcpy(&reclen, buffer + offset + 16, sizeof reclen);
      const char* name = buffer + offset + 19;
      if (reclen == 0) break;
      offset += reclen;
      if (name[0] < '0' || name[0] > '9') continue;
      std::uint32_t tid = 0;
      for (const char* p = name; *p >= '0' && *p <= '9'; ++p)
        tid = tid * 10 + static_cast<std::uint32_t>(*p - '0');
      if (*count < capacity) {
        threads[(*count)++] = tid;
      } else {
        result = KERN_RESOURCE_SHORTAGE;
      }
    }
  }
  close(fd);
  return result;
}

std::size_t threads_suspend(const thread_t* threads, std::size_t count, std::uint64_t deadline_ns) {
  const int sig = g_signal.load();
  if (sig == 0) return 0;
  const thread_t self = mach_thread_self();
  const auto pid = static_cast<pid_t>(mach_task_self());
  // Signal every thread first, so that they all stop in parallel.
  for (std::size_t i = 0; i < count; ++i) {
    if (threads[i] == self || find_slot(threads[i], kStopped) != nullptr ||
        find_slot(threads[i], kParked) != nullptr)
      continue;
    Slot* slot = claim_slot();
    if (slot == nullptr) break;
    slot->tid.store(threads[i], std::memory_order_relaxed);
    slot->state.store(kRequested, std::memory_order_release);
    if (syscall(SYS_tgkill, pid, threads[i], sig) != 0) {
      slot->tid.store(0, std::memory_order_relaxed);
      slot->state.store(kFree, std::memory_order_release);
    }
  }
  // Then wait for them under one deadline.
  const std::uint64_t deadline = now_ns() + deadline_ns;
  std::size_t stopped = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (threads[i] == self) continue;
    for (;;) {
      Slot* slot = find_slot(threads[i], kRequested);
      if (slot == nullptr) break;
      // A thread that entered a crash handler parks instead of answering (the handler blocks the
      // suspension signal); its parked registers serve.
      if (find_slot(threads[i], kParked) != nullptr) break;
      std::uint64_t now = now_ns();
      if (now >= deadline) break;
      std::uint64_t left = deadline - now;
      timespec timeout{static_cast<time_t>(left / 1'000'000'000ULL),
                       static_cast<long>(left % 1'000'000'000ULL)};
      // Wake at least every millisecond to notice a thread that parked.
      if (timeout.tv_sec > 0 || timeout.tv_nsec > 1'000'000) timeout = {0, 1'000'000};
      futex(&slot->state, FUTEX_WAIT_PRIVATE, kRequested, &timeout);
    }
    if (find_slot(threads[i], kStopped) != nullptr) ++stopped;
  }
  return stopped;
}

void threads_resume(const thread_t* threads, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    for (Slot& s : g_slots) {
      if (s.tid.load(std::memory_order_relaxed) != threads[i]) continue;
      std::uint32_t expected = kRequested;
      // A request that was never answered is withdrawn; its late signal then finds no slot.
      if (s.state.compare_exchange_strong(expected, kFree, std::memory_order_acq_rel)) continue;
      expected = kStopped;
      if (s.state.compare_exchange_strong(expected, kResume, std::memory_order_acq_rel)) {
        futex(&s.state, FUTEX_WAKE_PRIVATE, 1, nullptr);
      }
    }
  }
}

kern_return_t thread_get_state(thread_t thread, std::int32_t flavor, void* state,
                               mach_msg_type_number_t* count) {
  Slot* slot = find_slot(thread, kStopped);
  if (slot == nullptr) slot = find_slot(thread, kParked);
  if (slot == nullptr) return KERN_FAILURE;
  switch (flavor) {
    case x86_THREAD_STATE: {
      if (*count < static_cast<mach_msg_type_number_t>(x86_THREAD_STATE_COUNT)) return KERN_INVALID_ARGUMENT;
      auto* out = static_cast<x86_thread_state_t*>(state);
      out->tsh = {x86_THREAD_STATE64, x86_THREAD_STATE64_COUNT};
      std::memcpy(&out->uts.ts64, &slot->ss, sizeof slot->ss);
      *count = x86_THREAD_STATE_COUNT;
      return KERN_SUCCESS;
    }
    case x86_THREAD_STATE64:
      if (*count < static_cast<mach_msg_type_number_t>(x86_THREAD_STATE64_COUNT))
        return KERN_INVALID_ARGUMENT;
      std::memcpy(state, &slot->ss, sizeof slot->ss);
      *count = x86_THREAD_STATE64_COUNT;
      return KERN_SUCCESS;
    case x86_EXCEPTION_STATE: {
      if (*count < static_cast<mach_msg_type_number_t>(x86_EXCEPTION_STATE_COUNT))
        return KERN_INVALID_ARGUMENT;
      auto* out = static_cast<x86_exception_state_t*>(state);
      out->esh = {x86_EXCEPTION_STATE64, x86_EXCEPTION_STATE64_COUNT};
      std::memcpy(&out->ues.es64, &slot->es, sizeof slot->es);
      *count = x86_EXCEPTION_STATE_COUNT;
      return KERN_SUCCESS;
    }
    case x86_EXCEPTION_STATE64:
      if (*count < static_cast<mach_msg_type_number_t>(x86_EXCEPTION_STATE64_COUNT))
        return KERN_INVALID_ARGUMENT;
      std::memcpy(state, &slot->es, sizeof slot->es);
      *count = x86_EXCEPTION_STATE64_COUNT;
      return KERN_SUCCESS;
    default:
      return KERN_INVALID_ARGUMENT;
  }
}

bool thread_park_state(const x86_exception_state64_t* es, const x86_thread_state64_t* ss) {
  const thread_t self = mach_thread_self();
  Slot* slot = find_slot(self, kParked);
  if (slot == nullptr) slot = claim_slot();
  if (slot == nullptr) return false;
  slot->es = *es;
  slot->ss = *ss;
  slot->tid.store(self, std::memory_order_relaxed);
  slot->state.store(kParked, std::memory_order_release);
  return true;
}

bool thread_park(const void* ucontext) {
  x86_exception_state64_t es;
  x86_thread_state64_t ss;
  fill_states(static_cast<const ucontext_t*>(ucontext), &es, &ss);
  return thread_park_state(&es, &ss);
}

void thread_unpark() {
  Slot* slot = find_slot(mach_thread_self(), kParked);
  if (slot == nullptr) return;
  slot->tid.store(0, std::memory_order_relaxed);
  slot->state.store(kFree, std::memory_order_release);
}

bool thread_is_parked(thread_t thread) { return find_slot(thread, kParked) != nullptr; }

void mcontext_from_ucontext(const void* ucontext, cr_mcontext64* out) {
  const auto* uc = static_cast<const ucontext_t*>(ucontext);
  std::memset(out, 0, sizeof *out);
  fill_states(uc, &out->es, &out->ss);
  if (uc->uc_mcontext.fpregs != nullptr)
    std::memcpy(out->fs.fxsave, uc->uc_mcontext.fpregs, sizeof out->fs.fxsave);
}

}  // namespace platform::crash
