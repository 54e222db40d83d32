// The executable's pthread_create wrapper under the sanitizers: the threads it starts must be the
// sanitizer's threads too, or LeakSanitizer never scans their stacks and reports every block that only
// such a thread points to as leaked (and ThreadSanitizer loses their synchronisation).

#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "CRCrashSignalHandler.h"

#if defined(__SANITIZE_ADDRESS__)
#define QV_TEST_LEAK_CHECKER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QV_TEST_LEAK_CHECKER 1
#endif
#endif

#if defined(QV_TEST_LEAK_CHECKER)
#include <sanitizer/lsan_interface.h>

namespace {

// A thread that takes a heap block handed to it and keeps the only pointer to it in a local variable
// until it is let go, as a std::thread keeps its callable.
struct BlockHolder {
  std::atomic<void*> handed_over{nullptr};
  std::atomic<bool> holding{false};
  std::atomic<bool> release{false};
  bool had_alternate_stack = false;

  static void* run(void* value) {
    auto* self = static_cast<BlockHolder*>(value);
    // volatile keeps the pointer in this thread's stack frame, where only a scan of this stack finds it.
    void* volatile block = self->handed_over.exchange(nullptr);
    self->had_alternate_stack = platform::crash::thread_alt_stack().ss_sp != nullptr;
    self->holding = true;
    while (!self->release) usleep(1000);
    std::free(block);
    return nullptr;
  }
};

// Allocates the block and starts the thread in a frame of its own, so that no copy of the pointer is
// left in the live part of the starting thread's stack (the allocation's stack trace then names a
// thread the sanitizer knows, which a report needs).
__attribute__((noinline)) int start_block_holder(BlockHolder& holder, pthread_t* thread) {
  holder.handed_over = std::malloc(32);
  // The call resolves to the wrapper the executable exports.
  return pthread_create(thread, nullptr, BlockHolder::run, &holder);
}

// Overwrites the stack below the caller's frame, where the frames of start_block_holder were and where
// the leak check's own frames will be.
__attribute__((noinline)) void scrub_stack_below() {
  volatile char area[16384];
  std::memset(const_cast<char*>(area), 0, sizeof area);
}

}  // namespace
#endif

TEST(CrashThreadStart, LeakCheckerScansTheStacksOfTheThreadsTheWrapperStarts) {
#if !defined(QV_TEST_LEAK_CHECKER)
  GTEST_SKIP() << "needs a build with LeakSanitizer";
#else
  BlockHolder holder;
  pthread_t thread;
  ASSERT_EQ(start_block_holder(holder, &thread), 0);
  while (!holder.holding) usleep(1000);
  scrub_stack_below();
  EXPECT_TRUE(holder.had_alternate_stack) << "the thread did not start through the wrapper";
  EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0)
      << "the leak checker did not scan the stack of a thread the wrapper started";
  holder.release = true;
  pthread_join(thread, nullptr);
#endif
}
