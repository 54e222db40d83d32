// Crash engine core figures: stopping, reading and resuming 20 and 200 threads; frame-pointer walks of 20
// threads 50 frames deep; re-syncing the image list after a dlopen or dlclose.
//
//   qv_bench_crash_core [rounds]

#include <dlfcn.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "Platform/CRLoader.h"
#include "Platform/CRTaskMemory.h"
#include "Platform/CRThreads.h"
#include "crframe_cursor.h"

namespace pc = platform::crash;
using Clock = std::chrono::steady_clock;

namespace {

std::atomic<std::uint32_t> g_release{0};
std::atomic<int> g_parked{0};

// Parks in a futex wait issued from this very function, so a stopped thread's registers (and its frame
// chain) are its own and not the C library's.
__attribute__((noinline)) void park() {
  g_parked++;
  while (g_release.load() == 0) {
    long ret;
    register long r10 asm("r10") = 0;
    asm volatile("syscall"
                 : "=a"(ret)
                 : "0"(SYS_futex), "D"(&g_release), "S"(FUTEX_WAIT_PRIVATE), "d"(0), "r"(r10)
                 : "rcx", "r11", "memory");
  }
}

__attribute__((noinline)) void descend(int depth) {
  if (depth == 0) {
    park();
  } else {
    descend(depth - 1);
  }
  asm volatile("" ::: "memory");
}

struct Threads {
  std::vector<std::thread> threads;
  std::vector<pc::thread_t> ids;
  explicit Threads(int count, int depth) {
    g_release = 0;
    g_parked = 0;
    std::atomic<int> started{0};
    std::vector<std::atomic<pc::thread_t>> tids(count);
    for (int i = 0; i < count; ++i) {
      threads.emplace_back([&, i, depth] {
        tids[i] = static_cast<pc::thread_t>(syscall(SYS_gettid));
        started++;
        descend(depth);
      });
    }
    while (g_parked.load() < count) std::this_thread::yield();
    for (auto& t : tids) ids.push_back(t.load());
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // let them reach the wait
  }
  ~Threads() {
    g_release = 1;
    syscall(SYS_futex, &g_release, FUTEX_WAKE_PRIVATE, 1 << 30, nullptr, nullptr, 0);
    for (auto& t : threads) t.join();
  }
};

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

double micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

void suspend_read_resume(int count, int rounds) {
  Threads threads(count, 10);
  std::vector<double> times;
  int failures = 0;
  for (int r = 0; r < rounds; ++r) {
    auto begin = Clock::now();
    pc::thread_t listed[1024];
    std::size_t n = 0;
    pc::task_threads(listed, 1024, &n);
    std::size_t stopped = pc::threads_suspend(listed, n);
    for (std::size_t i = 0; i < n; ++i) {
      if (listed[i] == pc::mach_thread_self()) continue;
      crcrash_async_thread_state_t state;
      if (crcrash_async_thread_state_mach_thread_init(&state, listed[i]) != CRCRASH_ERR_NONE) failures++;
    }
    pc::threads_resume(listed, n);
    times.push_back(micros(Clock::now() - begin));
    if (stopped + 1 < n) failures++;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::printf("suspend+read+resume %3d threads: median %8.1f us, worst %8.1f us (target %s), failures %d\n",
              count, median(times), *std::max_element(times.begin(), times.end()),
              count <= 20 ? "<= 1000 us" : "<= 10000 us", failures);
}

void frame_pointer_walks(int rounds) {
  Threads threads(20, 50);
  pc::threads_suspend(threads.ids.data(), threads.ids.size());
  // As a report does: with the threads stopped, the readable-region table is brought up to date.
  pc::region_table_refresh();
  std::vector<double> per_frame;
  std::size_t frames_per_walk = 0;
  for (int r = 0; r < rounds; ++r) {
    std::size_t frames = 0;
    auto begin = Clock::now();
    for (pc::thread_t id : threads.ids) {
      crframe_cursor_t cursor;
      if (crframe_cursor_thread_init(&cursor, pc::mach_task_self(), id, nullptr) != CRFRAME_ERR_NONE)
        continue;
      while (crframe_cursor_next(&cursor) == CRFRAME_ERR_NONE) frames++;
      crframe_cursor_free(&cursor);
    }
    per_frame.push_back(std::chrono::duration<double, std::nano>(Clock::now() - begin).count() /
                        static_cast<double>(frames));
    frames_per_walk = frames / threads.ids.size();
  }
  pc::threads_resume(threads.ids.data(), threads.ids.size());
  std::printf("frame-pointer walk, 20 threads x %zu frames: median %6.1f ns per frame (target <= 2000 ns)\n",
              frames_per_walk, median(per_frame));
}

void add_image(std::uint64_t header, std::intptr_t, const char* name, void* list) {
  crcrash_nasync_image_list_append(static_cast<crcrash_async_image_list_t*>(list), header, name);
}
void remove_image(std::uint64_t header, std::intptr_t, const char*, void* list) {
  crcrash_nasync_image_list_remove(static_cast<crcrash_async_image_list_t*>(list), header);
}

void resync(const char* plugin, int rounds) {
  crcrash_async_image_list_t list;
  crcrash_nasync_image_list_init(&list, pc::mach_task_self());
  int handle = pc::dyld_register_image_callbacks(add_image, remove_image, &list);
  // The C library's own dlopen and dlclose, so that only the timed sync does the engine's work.
  auto real_dlopen = reinterpret_cast<void* (*)(const char*, int)>(dlsym(RTLD_NEXT, "dlopen"));
  auto real_dlclose = reinterpret_cast<int (*)(void*)>(dlsym(RTLD_NEXT, "dlclose"));
  std::vector<double> after_open, after_close, unchanged;
  for (int r = 0; r < rounds; ++r) {
    void* h = real_dlopen(plugin, RTLD_NOW | RTLD_LOCAL);
    if (h == nullptr) {
      std::printf("cannot open %s: %s\n", plugin, dlerror());
      return;
    }
    auto begin = Clock::now();
    pc::dyld_sync();
    after_open.push_back(micros(Clock::now() - begin));
    begin = Clock::now();
    pc::dyld_sync();
    unchanged.push_back(micros(Clock::now() - begin));
    real_dlclose(h);
    begin = Clock::now();
    pc::dyld_sync();
    after_close.push_back(micros(Clock::now() - begin));
  }
  pc::dyld_unregister_image_callbacks(handle);
  crcrash_nasync_image_list_free(&list);
  std::printf(
      "image list re-sync: after dlopen %6.1f us, after dlclose %6.1f us, nothing changed %5.1f us "
      "(medians; target <= 200 us)\n",
      median(after_open), median(after_close), median(unchanged));
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = argc > 1 ? std::atoi(argv[1]) : 50;
  if (pc::threads_arm() == 0) {
    std::printf("no free real-time signal\n");
    return 1;
  }
  suspend_read_resume(20, rounds);
  suspend_read_resume(200, rounds);
  frame_pointer_walks(rounds);
  resync(QV_CRASH_TEST_PLUGIN, rounds);
  return 0;
}
