// Whole walks of this process's own stacks by the frame cursor, compared frame by frame with the C++
// runtime's unwinder: chains with and without frame pointers, a chain ending in a call that does not
// return, a walk out of a signal handler, and a deep recursion.

#include <gtest/gtest.h>
#include <setjmp.h>
#include <signal.h>
#include <unwind.h>

#include <cstdint>
#include <vector>

#include "Platform/CRLoader.h"
#include "Platform/CRTaskMemory.h"
#include "Platform/CRThreads.h"
#include "UnwindChains.h"
#include "crcrash_async_image_list.h"
#include "crframe_cursor.h"

namespace pc = platform::crash;

namespace {

// The process's images, fed by the loader's callbacks.
class ProcessImages {
 public:
  ProcessImages() {
    crcrash_nasync_image_list_init(&list_, pc::mach_task_self());
    handle_ = pc::dyld_register_image_callbacks(
        [](std::uint64_t header, std::intptr_t, const char* name, void* context) {
          crcrash_nasync_image_list_append(static_cast<crcrash_async_image_list_t*>(context), header, name);
        },
        [](std::uint64_t header, std::intptr_t, const char*, void* context) {
          crcrash_nasync_image_list_remove(static_cast<crcrash_async_image_list_t*>(context), header);
        },
        &list_);
    pc::region_table_refresh();
  }
  ~ProcessImages() {
    pc::dyld_unregister_image_callbacks(handle_);
    crcrash_nasync_image_list_free(&list_);
  }
  crcrash_async_image_list_t* get() { return &list_; }

 private:
  crcrash_async_image_list_t list_;
  int handle_ = 0;
};

ProcessImages& images() {
  static ProcessImages* shared = new ProcessImages();
  return *shared;
}

struct Walk {
  std::vector<std::uint64_t> runtime;  // _Unwind_Backtrace's instruction pointers
  std::vector<std::uint64_t> cursor;   // the frame cursor's instruction pointers
  crframe_error_t end = CRFRAME_ERR_NONE;
  const crframe_cursor_frame_reader_t* readers = nullptr;
  std::size_t reader_count = 0;
  std::size_t limit = 20000;
};

_Unwind_Reason_Code collect(struct _Unwind_Context* context, void* arg) {
  auto* out = static_cast<std::vector<std::uint64_t>*>(arg);
  // The outermost frame's undefined return address comes back as 0; the cursor ends there too.
  const std::uint64_t ip = _Unwind_GetIP(context);
  if (ip == 0) return _URC_END_OF_STACK;
  out->push_back(ip);
  return out->size() < out->capacity() ? _URC_NO_REASON : _URC_END_OF_STACK;
}

int walk_state(crcrash_async_thread_state_t* state, void* context) {
  auto* walk = static_cast<Walk*>(context);
  crframe_cursor_t cursor;
  crframe_cursor_init(&cursor, pc::mach_task_self(), state, images().get());
  crcrash_nasync_image_list_set_reading(images().get(), true);
  for (;;) {
    crframe_error_t err = walk->readers != nullptr
                              ? crframe_cursor_next_with_readers(&cursor, walk->readers, walk->reader_count)
                              : crframe_cursor_next(&cursor);
    if (err != CRFRAME_ERR_NONE) {
      walk->end = err;
      break;
    }
    std::uint64_t ip = 0;
    crframe_cursor_get_reg(&cursor, CRCRASH_REG_IP, &ip);
    walk->cursor.push_back(ip);
    if (walk->cursor.size() >= walk->limit) break;
  }
  crcrash_nasync_image_list_set_reading(images().get(), false);
  crframe_cursor_free(&cursor);
  return 0;
}

// Records both walks from the calling frame. Frame 0 of each is a different call site in this function;
// every frame after it is a caller and must agree.
__attribute__((noinline)) int record_walks(void* context) {
  auto* walk = static_cast<Walk*>(context);
  walk->runtime.reserve(walk->limit);
  walk->cursor.reserve(walk->limit);
  _Unwind_Backtrace(collect, &walk->runtime);
  crcrash_async_thread_state_current(walk_state, walk);
  return 1;
}

void expect_same_callers(const Walk& walk, std::size_t first_compared = 1) {
  ASSERT_GT(walk.runtime.size(), first_compared + 3) << "the runtime's walk is too short to compare";
  ASSERT_GE(walk.cursor.size(), walk.runtime.size()) << "the cursor stopped early with " << walk.end;
  for (std::size_t i = first_compared; i < walk.runtime.size(); ++i) {
    ASSERT_EQ(walk.cursor[i], walk.runtime[i]) << "frame " << i << " of " << walk.runtime.size();
  }
}

TEST(UnwindWalk, ChainsWithAndWithoutFramePointers) {
  for (auto chain : {unwind_chain_fp_a, unwind_chain_nofp_a}) {
    SCOPED_TRACE(chain == unwind_chain_fp_a ? "with frame pointers" : "without frame pointers");
    Walk walk;
    chain(1, record_walks, &walk);
    expect_same_callers(walk);
  }
}

TEST(UnwindWalk, FramePointerReaderAloneLosesFramelessCallers) {
  // Without the DWARF reader the frameless chain cannot be walked right: this is what the reader adds.
  static const crframe_cursor_frame_reader_t fp_only[] = {crframe_cursor_read_frame_ptr};
  Walk walk;
  walk.readers = fp_only;
  walk.reader_count = 1;
  unwind_chain_nofp_a(1, record_walks, &walk);
  bool differs = walk.cursor.size() < walk.runtime.size();
  for (std::size_t i = 1; !differs && i < walk.runtime.size(); ++i)
    differs = walk.cursor[i] != walk.runtime[i];
  EXPECT_TRUE(differs);
}

TEST(UnwindWalk, DeepRecursion) {
  for (auto recurse : {unwind_chain_fp_recurse, unwind_chain_nofp_recurse}) {
    Walk walk;
    walk.limit = 10100;
    recurse(10000, record_walks, &walk);
    ASSERT_GT(walk.runtime.size(), 10000u);
    expect_same_callers(walk);
  }
}

// ---- A chain that ends in a call that does not return ----

thread_local sigjmp_buf g_jump;

int record_and_leave(void* context) {
  record_walks(context);
  siglongjmp(g_jump, 1);
}

__attribute__((noinline)) void run_noreturn_chain(int (*chain)(int, unwind_chain_leaf, void*), Walk* walk) {
  if (sigsetjmp(g_jump, 0) == 0) chain(1, record_and_leave, walk);
}

TEST(UnwindWalk, ChainEndingInANoreturnCall) {
  for (auto chain : {unwind_chain_fp_noreturn_a, unwind_chain_nofp_noreturn_a}) {
    SCOPED_TRACE(chain == unwind_chain_fp_noreturn_a ? "with frame pointers" : "without frame pointers");
    Walk walk;
    run_noreturn_chain(chain, &walk);
    expect_same_callers(walk);
  }
}

// ---- Out of a signal handler ----

Walk* g_signal_walk = nullptr;
const ucontext_t* g_signal_context = nullptr;
Walk* g_context_walk = nullptr;

void on_fault(int, siginfo_t*, void* ucontext) {
  // Through the signal trampoline back into the interrupted frames.
  record_walks(g_signal_walk);
  // And from the interrupted registers themselves, as the crash reporter starts.
  pc::cr_mcontext64 mctx;
  pc::mcontext_from_ucontext(ucontext, &mctx);
  crcrash_async_thread_state_t state;
  crcrash_async_thread_state_mcontext_init(&state, &mctx);
  g_context_walk->cursor.reserve(g_context_walk->limit);
  walk_state(&state, g_context_walk);
  g_signal_context = static_cast<const ucontext_t*>(ucontext);
  siglongjmp(g_jump, 1);
}

__attribute__((noinline)) bool run_fault_chain(int (*chain)(int* volatile*, int)) {
  struct sigaction action {
  }, old{};
  action.sa_sigaction = on_fault;
  action.sa_flags = SA_SIGINFO | SA_NODEFER;
  sigemptyset(&action.sa_mask);
  if (sigaction(SIGSEGV, &action, &old) != 0) return false;
  int* volatile target = reinterpret_cast<int*>(16);
  if (sigsetjmp(g_jump, 1) == 0) chain(&target, 7);
  sigaction(SIGSEGV, &old, nullptr);
  return true;
}

TEST(UnwindWalk, FromASignalHandlerThroughTheTrampoline) {
  for (auto chain : {unwind_chain_fp_fault_a, unwind_chain_nofp_fault_a}) {
    SCOPED_TRACE(chain == unwind_chain_fp_fault_a ? "with frame pointers" : "without frame pointers");
    Walk walk, from_context;
    g_signal_walk = &walk;
    g_context_walk = &from_context;
    ASSERT_TRUE(run_fault_chain(chain));

    expect_same_callers(walk);
    // runtime[1] is the handler, runtime[2] the trampoline, runtime[3] the faulting instruction itself.
    ASSERT_GT(walk.runtime.size(), 6u);
    // The walk from the interrupted registers starts at the faulting instruction and then follows the
    // same callers.
    ASSERT_GE(from_context.cursor.size(), walk.runtime.size() - 3);
    for (std::size_t i = 0; i + 3 < walk.runtime.size(); ++i) {
      ASSERT_EQ(from_context.cursor[i], walk.runtime[i + 3]) << "frame " << i;
    }
  }
}

}  // namespace
