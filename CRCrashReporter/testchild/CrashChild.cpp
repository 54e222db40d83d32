// crcrash_crash_child MODE TYPE SIDE_FILE [PLUGIN]: arms the crash reporter with handler type TYPE (0
// signals, 1 exception server), parks 20 threads in a known call chain, writes what the parent needs to
// check the report to SIDE_FILE (function ranges, the fault's pc, where stacks end) and then crashes as
// MODE says. The report lands in $XDG_CACHE_HOME's crash folder.

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <linux/futex.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>
#include <unwind.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "CRCrashReporter.h"
#include "CRCrashSignalHandler.h"
#include "platform/Exception.h"

#define NOINLINE __attribute__((noinline, noclone))

// Labels on the faulting instructions, defined in the inline assembly below.
extern "C" char qv_fault_null_read[], qv_fault_readonly_write[], qv_fault_noncanonical[], qv_fault_bus_read[],
    qv_fault_ud2[], qv_fault_div0[], qv_fault_int3_after[], qv_fault_second[], qv_fault_deep[];

namespace {

std::atomic<int> g_sink{0};
FILE* g_side = nullptr;
std::string g_mode;
void* g_fault_address = nullptr;  // the address a fault is made to touch

std::atomic<std::uint32_t> g_park_word{0};
std::atomic<int> g_parked{0};

void side(const char* format, ...) __attribute__((format(printf, 1, 2)));
void side(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vfprintf(g_side, format, args);
  va_end(args);
  std::fputc('\n', g_side);
  std::fflush(g_side);
}

// Writes "range NAME START END" for a function, from the dynamic symbol table (the child exports its
// symbols).
void range(const char* name, const void* function) {
  Dl_info info;
  void* entry = nullptr;
  const bool found = dladdr1(function, &info, &entry, RTLD_DL_SYMENT) != 0;
  const auto* symbol = static_cast<const ElfW(Sym)*>(entry);
  if (!found || symbol == nullptr) {
    side("range %s 0 0", name);
    return;
  }
  auto start = reinterpret_cast<std::uintptr_t>(info.dli_saddr);
  side("range %s %#lx %#lx", name, static_cast<unsigned long>(start),
       static_cast<unsigned long>(start + symbol->st_size));
}

// ---- Where stacks end, as the C++ runtime's unwinder sees it ----

struct OuterWalk {
  const void* after;  // frames past this function count as the outer end
  bool past = false;
};

_Unwind_Reason_Code note_outer(_Unwind_Context* context, void* argument) {
  auto* walk = static_cast<OuterWalk*>(argument);
  const auto pc = _Unwind_GetIP(context);
  if (walk->past) side("outer %#lx", static_cast<unsigned long>(pc));
  Dl_info info;
  if (dladdr(reinterpret_cast<void*>(pc - 1), &info) != 0 && info.dli_saddr == walk->after) walk->past = true;
  return _URC_NO_REASON;
}

NOINLINE void record_outer(const void* after) {
  OuterWalk walk{after};
  _Unwind_Backtrace(note_outer, &walk);
}

// ---- Parked threads ----

extern "C" NOINLINE void qv_park_leaf() {
  g_parked++;
  while (g_park_word.load() == 0) {
    syscall(SYS_futex, &g_park_word, FUTEX_WAIT_PRIVATE, 0, nullptr, nullptr, 0);
  }
  g_sink++;
}
extern "C" NOINLINE void qv_park_mid() {
  qv_park_leaf();
  g_sink++;
}
// $QV_PARK_DEPTH more frames between the parked threads' outer and middle functions (the benchmark's
// deep stacks); none by default.
int g_park_depth = 0;
extern "C" NOINLINE void qv_park_deep(int depth) {
  if (depth <= 1) {
    qv_park_mid();
  } else {
    qv_park_deep(depth - 1);
  }
  g_sink++;
}
extern "C" NOINLINE void* qv_park_outer(void*) {
  static std::atomic<bool> noted{false};
  if (!noted.exchange(true)) record_outer(reinterpret_cast<const void*>(qv_park_outer));
  if (g_park_depth > 0) {
    qv_park_deep(g_park_depth);
  } else {
    qv_park_mid();
  }
  g_sink++;
  return nullptr;
}

// ---- Faults ----

extern "C" NOINLINE void qv_leaf_null_read() {
  void* p = nullptr;
  asm volatile("nop\n.globl qv_fault_null_read\nqv_fault_null_read: movq (%0), %%rax" ::"r"(p)
               : "rax", "memory");
}
extern "C" NOINLINE void qv_leaf_readonly_write() {
  asm volatile(
      "nop\n.globl qv_fault_readonly_write\nqv_fault_readonly_write: movq %%rax, (%0)" ::"r"(g_fault_address)
      : "memory");
}
extern "C" NOINLINE void qv_leaf_noncanonical() {
  void* p = reinterpret_cast<void*>(0x8000000000000000ull);
  asm volatile("nop\n.globl qv_fault_noncanonical\nqv_fault_noncanonical: movq (%0), %%rax" ::"r"(p)
               : "rax", "memory");
}
extern "C" NOINLINE void qv_leaf_bus_read() {
  asm volatile("nop\n.globl qv_fault_bus_read\nqv_fault_bus_read: movq (%0), %%rax" ::"r"(g_fault_address)
               : "rax", "memory");
}
extern "C" NOINLINE void qv_leaf_ud2() {
  asm volatile("nop\n.globl qv_fault_ud2\nqv_fault_ud2: ud2" ::: "memory");
}
extern "C" NOINLINE void qv_leaf_div0() {
  asm volatile(
      "nop\nxorl %%ecx, %%ecx\nmovl $1, %%eax\ncltd\n.globl qv_fault_div0\nqv_fault_div0: idivl %%ecx" ::
          : "rax", "rcx", "rdx", "memory");
}
extern "C" NOINLINE void qv_leaf_int3() {
  asm volatile("int3\n.globl qv_fault_int3_after\nqv_fault_int3_after: nop" ::: "memory");
}
extern "C" NOINLINE void qv_leaf_abort() { std::abort(); }
// As `kill -SEGV` from a shell: a signal sent to the process (SI_USER), taken by this thread.
extern "C" NOINLINE void qv_leaf_kill_segv() {
  kill(getpid(), SIGSEGV);
  g_sink++;
}
extern "C" NOINLINE void qv_leaf_exception() {
  throw platform::Exception("QVChildException", "The crash child threw this on purpose");
}
std::atomic<int> g_go{0};
std::atomic<int> g_ready{0};

// Waits for the main thread's signal, then faults: both faults come as close together as the scheduler
// lets them.
extern "C" NOINLINE void qv_leaf_second() {
  while (g_go.load() == 0) {
  }
  void* p = nullptr;
  asm volatile("nop\n.globl qv_fault_second\nqv_fault_second: movq (%0), %%rax" ::"r"(p) : "rax", "memory");
}
extern "C" NOINLINE void qv_leaf_plugin() {
  auto crash = reinterpret_cast<void (*)()>(g_fault_address);
  crash();
  g_sink++;
}
extern "C" NOINLINE void qv_recurse(int depth) {
  if (depth == 0) {
    void* p = nullptr;
    asm volatile("nop\n.globl qv_fault_deep\nqv_fault_deep: movq (%0), %%rax" ::"r"(p) : "rax", "memory");
  } else {
    qv_recurse(depth - 1);
  }
  g_sink++;
}
std::atomic<int> g_overflow_limit{1 << 30};
extern "C" NOINLINE void qv_overflow(int depth) {
  volatile char pad[512];
  pad[0] = static_cast<char>(depth);
  if (depth < g_overflow_limit.load()) qv_overflow(depth + 1);
  g_sink += pad[0];
}

using Leaf = void (*)();

struct Mode {
  const char* name;
  Leaf leaf;
  const char* fault_label;  // the recorded pc, or null
};

const Mode kModes[] = {
    {"null_read", qv_leaf_null_read, qv_fault_null_read},
    {"readonly_write", qv_leaf_readonly_write, qv_fault_readonly_write},
    {"noncanonical", qv_leaf_noncanonical, qv_fault_noncanonical},
    {"bus", qv_leaf_bus_read, qv_fault_bus_read},
    {"ud2", qv_leaf_ud2, qv_fault_ud2},
    {"div0", qv_leaf_div0, qv_fault_div0},
    {"int3", qv_leaf_int3, qv_fault_int3_after},
    {"kill_segv", qv_leaf_kill_segv, nullptr},
    {"abort", qv_leaf_abort, nullptr},
    {"exception", qv_leaf_exception, nullptr},
    {"two_faults", qv_leaf_null_read, qv_fault_null_read},
    {"plugin", qv_leaf_plugin, nullptr},
};

Leaf g_leaf = nullptr;

extern "C" NOINLINE void qv_mid() {
  g_leaf();
  g_sink++;
}
extern "C" NOINLINE void qv_outer() {
  qv_mid();
  g_sink++;
}

void* second_fault(void*) {
  g_ready.store(1);
  qv_leaf_second();
  return nullptr;
}

void* worker_overflow(void*) {
  qv_overflow(0);
  return nullptr;
}

void prepare_fault_target(const std::string& mode, const char* plugin) {
  const long page = sysconf(_SC_PAGESIZE);
  if (mode == "readonly_write") {
    g_fault_address = mmap(nullptr, page, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  } else if (mode == "bus") {
    // A mapping of two pages over a file cut to one: the second page is past the end of the file.
    std::string path = std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") + "/qv-bus-XXXXXX";
    int fd = mkstemp(path.data());
    unlink(path.c_str());
    if (ftruncate(fd, 2 * page) != 0) std::exit(3);
    auto* base = static_cast<char*>(mmap(nullptr, 2 * page, PROT_READ, MAP_SHARED, fd, 0));
    if (ftruncate(fd, page) != 0) std::exit(3);
    g_fault_address = base + page;
  } else if (mode == "plugin") {
    void* handle = dlopen(plugin, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) std::exit(4);
    g_fault_address = dlsym(handle, "crash_test_plugin_crash");
    range("plugin_crash", g_fault_address);
    side("plugin %s", plugin);
  }
}

void handle_signal(siginfo_t*, ucontext_t*, void*) {
  static const char line[] = "handleSignal\n";
  if (write(STDOUT_FILENO, line, sizeof line - 1) < 0) g_sink++;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s MODE TYPE SIDE_FILE [PLUGIN]\n", argv[0]);
    return 2;
  }
  g_mode = argv[1];
  const std::uint64_t type = std::strtoull(argv[2], nullptr, 10);
  g_side = std::fopen(argv[3], "w");
  if (g_side == nullptr) return 2;

  auto reporter = CRCrashReporter::initWithApplicationIdentifier(
      "com.quorvane/crash-child", "7", "1.2.3",
      CRCrashReporterConfig::initWithSignalHandlerType(type, CRCrashSymbolicationStrategySymbolTable, true));
  CRCrashReporterCallbacks callbacks;
  callbacks.handleSignal = handle_signal;
  reporter->setCrashCallbacks(&callbacks);
  platform::Error error;
  if (g_mode == "reset") {
    // Armed, then every handler dropped: the dispatcher stays installed with nothing in its chain.
    if (!reporter->enableCrashReporter(&error)) return 5;
    CRCrashSignalHandler::resetHandlers();
    qv_leaf_null_read();
    return 0;
  }
  if (!reporter->enableCrashReporter(&error)) {
    std::fprintf(stderr, "enable failed: %s\n", error.description.c_str());
    return 5;
  }
  side("report %s", reporter->crashReportPath().c_str());
  record_outer(reinterpret_cast<const void*>(main));

  if (const char* depth = std::getenv("QV_PARK_DEPTH")) g_park_depth = std::atoi(depth);
  std::vector<pthread_t> parked(20);
  for (pthread_t& thread : parked) pthread_create(&thread, nullptr, qv_park_outer, nullptr);
  while (g_parked.load() < 20) sched_yield();

  range("park_leaf", reinterpret_cast<const void*>(qv_park_leaf));
  range("park_mid", reinterpret_cast<const void*>(qv_park_mid));
  range("park_outer", reinterpret_cast<const void*>(qv_park_outer));
  range("mid", reinterpret_cast<const void*>(qv_mid));
  range("outer", reinterpret_cast<const void*>(qv_outer));
  range("recurse", reinterpret_cast<const void*>(qv_recurse));
  range("overflow", reinterpret_cast<const void*>(qv_overflow));
  range("second", reinterpret_cast<const void*>(qv_leaf_second));

  if (g_mode == "recursion") {
    side("fault %#lx", reinterpret_cast<unsigned long>(qv_fault_deep));
    qv_recurse(600);
    return 0;
  }
  if (g_mode == "overflow_main") {
    qv_overflow(0);
    return 0;
  }
  if (g_mode == "overflow_worker") {
    pthread_t thread;
    pthread_create(&thread, nullptr, worker_overflow, nullptr);
    pthread_join(thread, nullptr);
    return 0;
  }
  for (const Mode& mode : kModes) {
    if (g_mode != mode.name) continue;
    prepare_fault_target(g_mode, argc > 4 ? argv[4] : "");
    g_leaf = mode.leaf;
    range("leaf", reinterpret_cast<const void*>(mode.leaf));
    if (mode.fault_label != nullptr) side("fault %#lx", reinterpret_cast<unsigned long>(mode.fault_label));
    if (g_fault_address != nullptr) side("address %#lx", reinterpret_cast<unsigned long>(g_fault_address));
    if (g_mode == "two_faults") {
      side("second_fault %#lx", reinterpret_cast<unsigned long>(qv_fault_second));
      pthread_t thread;
      pthread_create(&thread, nullptr, second_fault, nullptr);
      while (g_ready.load() == 0) {
      }
    }
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    side("go %lld", static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec);
    g_go.store(1);
    qv_outer();
    return 0;
  }
  std::fprintf(stderr, "unknown mode %s\n", g_mode.c_str());
  return 2;
}
