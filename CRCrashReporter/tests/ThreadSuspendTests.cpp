// Stopping the own threads by signal: listing, suspending, reading their registers, walking their stacks
// and letting them go; a thread that blocks the signal fails within the deadline.

#include <gtest/gtest.h>
#include <linux/futex.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <list>
#include <thread>
#include <vector>

#include "CrashTestSupport.h"
#include "Platform/CRThreads.h"
#include "crframe_cursor.h"

namespace pc = platform::crash;
using crash_test::CapturedStderr;

namespace {

std::atomic<std::uint32_t> g_release{0};
std::atomic<int> suspend_parked{0};

// Each thread parks in one of four functions, waiting in a futex call issued from the function itself, so
// its instruction pointer names where it is and waiting threads leave the processors to the others.
#define PARK_FUNCTION(name)                                                                     \
  __attribute__((noinline)) void name(std::atomic<std::uint64_t>* stack) {                      \
    volatile int marker = 0;                                                                    \
    stack->store(reinterpret_cast<std::uint64_t>(&marker));                                     \
    suspend_parked++;                                                                           \
    while (g_release.load() == 0) {                                                             \
      long ret;                                                                                 \
      register long r10 asm("r10") = 0;                                                         \
      asm volatile("syscall"                                                                    \
                   : "=a"(ret)                                                                  \
                   : "0"(SYS_futex), "D"(&g_release), "S"(FUTEX_WAIT_PRIVATE), "d"(0), "r"(r10) \
                   : "rcx", "r11", "memory");                                                   \
    }                                                                                           \
  }
PARK_FUNCTION(park_a)
PARK_FUNCTION(park_b)
PARK_FUNCTION(park_c)
PARK_FUNCTION(park_d)
using Park = void (*)(std::atomic<std::uint64_t>*);
const Park kParks[] = {park_a, park_b, park_c, park_d};

// A few frames of recursion below the park, so that each stack has a known shape.
__attribute__((noinline)) void descend(int depth, Park park, std::atomic<std::uint64_t>* stack) {
  if (depth == 0) {
    park(stack);
  } else {
    descend(depth - 1, park, stack);
  }
  asm volatile("" ::: "memory");
}

struct Parked {
  std::thread thread;
  std::atomic<pid_t> tid{0};
  std::atomic<std::uint64_t> stack{0};
  Park park = nullptr;
};

bool wait_until(const std::function<bool()>& condition) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

}  // namespace

class CrashThreads : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(pc::threads_arm(), 0);
    g_release = 0;
    suspend_parked = 0;
  }
  void TearDown() override {
    // Whatever a test asserted, its threads are let go and joined.
    release();
    for (std::vector<Parked>& threads : owned_) {
      for (Parked& p : threads) {
        if (p.thread.joinable()) p.thread.join();
      }
    }
  }
  static void release() {
    g_release = 1;
    syscall(SYS_futex, &g_release, FUTEX_WAKE_PRIVATE, 1 << 30, nullptr, nullptr, 0);
  }
  // Threads owned by the fixture, so that a failed assertion still lets them go and joins them.
  std::vector<Parked>& make(std::size_t count) { return owned_.emplace_back(count); }
  void start(std::vector<Parked>& threads, int depth) {
    for (std::size_t i = 0; i < threads.size(); ++i) {
      Parked& p = threads[i];
      p.park = kParks[i % 4];
      p.thread = std::thread([&p, depth] {
        p.tid = static_cast<pid_t>(syscall(SYS_gettid));
        descend(depth, p.park, &p.stack);
      });
    }
    ASSERT_TRUE(wait_until([&] { return suspend_parked.load() == static_cast<int>(threads.size()); }));
  }
  void stop(std::vector<Parked>& threads) {
    release();
    for (Parked& p : threads) p.thread.join();
  }

 private:
  std::list<std::vector<Parked>> owned_;
};

TEST_F(CrashThreads, ArmingChoosesAFreeRealTimeSignal) {
  int sig = pc::threads_signal();
  EXPECT_GE(sig, SIGRTMIN + 4);
  EXPECT_LE(sig, SIGRTMAX);
  EXPECT_EQ(pc::threads_arm(), sig) << "arming twice keeps the choice";
}

TEST_F(CrashThreads, ListsTheOwnThreads) {
  std::vector<Parked>& threads = make(5);
  start(threads, 0);
  pc::thread_t ids[256];
  std::size_t count = 0;
  EXPECT_EQ(pc::task_threads(ids, 256, &count), pc::KERN_SUCCESS);
  for (Parked& p : threads)
    EXPECT_NE(std::find(ids, ids + count, static_cast<pc::thread_t>(p.tid)), ids + count);
  EXPECT_NE(std::find(ids, ids + count, pc::mach_thread_self()), ids + count);
  EXPECT_EQ(pc::task_threads(ids, 2, &count), pc::KERN_RESOURCE_SHORTAGE);
  EXPECT_EQ(count, 2u);
  stop(threads);
}

TEST_F(CrashThreads, TwentyThreadsSuspendedReadAndResumed) {
  std::vector<Parked>& threads = make(20);
  start(threads, 3);
  std::vector<pc::thread_t> ids;
  for (Parked& p : threads) ids.push_back(static_cast<pc::thread_t>(p.tid));
  ASSERT_EQ(pc::threads_suspend(ids.data(), ids.size()), 20u);
  for (Parked& p : threads) {
    crcrash_async_thread_state_t state;
    ASSERT_EQ(crcrash_async_thread_state_mach_thread_init(&state, static_cast<pc::thread_t>(p.tid)),
              CRCRASH_ERR_NONE);
    EXPECT_EQ(state.valid_regs, (1ull << 21) - 1);
    // The rip lies in the thread's own park: the nearest park entry at or below it is its own.
    const std::uint64_t rip = state.thread.uts.ts64.rip;
    Park nearest = nullptr;
    for (Park candidate : kParks) {
      auto entry = reinterpret_cast<std::uint64_t>(candidate);
      if (entry <= rip && (nearest == nullptr || entry > reinterpret_cast<std::uint64_t>(nearest)))
        nearest = candidate;
    }
    EXPECT_EQ(nearest, p.park) << "thread " << p.tid;
    EXPECT_LT(rip, reinterpret_cast<std::uint64_t>(p.park) + 1024) << "thread " << p.tid;
    // The park's local lies near the stack pointer (a leaf may keep it in the red zone below).
    EXPECT_LT(state.thread.uts.ts64.rsp, p.stack.load() + 256);
    EXPECT_GT(state.thread.uts.ts64.rsp + 256, p.stack.load());
    EXPECT_NE(state.thread.uts.ts64.cs, 0u);

    // Walk it: the park, then descend() four times.
    crframe_cursor_t cursor;
    ASSERT_EQ(
        crframe_cursor_thread_init(&cursor, pc::mach_task_self(), static_cast<pc::thread_t>(p.tid), nullptr),
        CRFRAME_ERR_NONE);
    std::vector<std::uint64_t> ips;
    while (ips.size() < 5 && crframe_cursor_next(&cursor) == CRFRAME_ERR_NONE) {
      std::uint64_t ip;
      crframe_cursor_get_reg(&cursor, CRCRASH_REG_IP, &ip);
      ips.push_back(ip);
    }
    crframe_cursor_free(&cursor);
    ASSERT_EQ(ips.size(), 5u);
    const auto descend_start = reinterpret_cast<std::uint64_t>(&descend);
    for (std::size_t i = 1; i < 5; ++i) {
      EXPECT_GT(ips[i], descend_start) << "frame " << i;
      EXPECT_LT(ips[i], descend_start + 1024) << "frame " << i;
    }
  }
  pc::threads_resume(ids.data(), ids.size());
  // Once resumed the state is gone and the threads run on.
  EXPECT_TRUE(wait_until([&] {
    pc::x86_thread_state_t ts;
    pc::mach_msg_type_number_t count = pc::x86_THREAD_STATE_COUNT;
    return pc::thread_get_state(ids[0], pc::x86_THREAD_STATE, &ts, &count) == pc::KERN_FAILURE;
  }));
  stop(threads);
}

TEST_F(CrashThreads, ThreadBlockingTheSignalFailsWithinTheDeadline) {
  std::atomic<pid_t> tid{0};
  std::atomic<bool> unblock{false};
  std::atomic<bool> done{false};
  std::thread blocker([&] {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, pc::threads_signal());
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    tid = static_cast<pid_t>(syscall(SYS_gettid));
    while (!unblock.load()) asm volatile("pause");
    // The pending signal arrives once unblocked, after its request was withdrawn, and changes nothing.
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    done = true;
  });
  std::vector<Parked>& threads = make(3);
  start(threads, 0);
  ASSERT_TRUE(wait_until([&] { return tid.load() != 0; }));
  std::vector<pc::thread_t> ids = {static_cast<pc::thread_t>(tid.load())};
  for (Parked& p : threads) ids.push_back(static_cast<pc::thread_t>(p.tid));

  auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(pc::threads_suspend(ids.data(), ids.size(), 100'000'000), 3u);
  auto elapsed = std::chrono::steady_clock::now() - begin;
  EXPECT_GE(elapsed, std::chrono::milliseconds(99));
  EXPECT_LT(elapsed, std::chrono::milliseconds(1000));
  {
    CapturedStderr captured;
    crcrash_async_thread_state_t state;
    EXPECT_EQ(crcrash_async_thread_state_mach_thread_init(&state, ids[0]), CRCRASH_ERR_INTERNAL);
    EXPECT_NE(captured.text().find("Fetch of x86 thread state failed with Mach error: 5"), std::string::npos);
    EXPECT_EQ(crcrash_async_thread_state_mach_thread_init(&state, ids[1]), CRCRASH_ERR_NONE);
  }
  pc::threads_resume(ids.data(), ids.size());
  unblock = true;
  ASSERT_TRUE(wait_until([&] { return done.load(); }));
  blocker.join();
  stop(threads);
}

TEST_F(CrashThreads, SignalContextBecomesAMachineContext) {
  static pc::cr_mcontext64 captured;
  static std::atomic<bool> seen{false};
  struct sigaction action {};
  action.sa_flags = SA_SIGINFO;
  action.sa_sigaction = [](int, siginfo_t*, void* uc) {
    pc::mcontext_from_ucontext(uc, &captured);
    seen = true;
  };
  struct sigaction old {};
  sigaction(SIGUSR1, &action, &old);
  raise(SIGUSR1);
  sigaction(SIGUSR1, &old, nullptr);
  ASSERT_TRUE(seen.load());
  crcrash_async_thread_state_t state;
  crcrash_async_thread_state_mcontext_init(&state, &captured);
  EXPECT_EQ(state.valid_regs, (1ull << 21) - 1);
  EXPECT_NE(state.thread.uts.ts64.rip, 0u);
  EXPECT_NE(state.thread.uts.ts64.rsp, 0u);
  EXPECT_EQ(state.thread.uts.ts64.cs, 0x33u) << "the 64-bit user code selector";
}
