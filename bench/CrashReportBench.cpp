// Crash report figures: writing a report of this process with 20 threads 50 frames deep, decoding it and
// the largest report the file limit allows, and refusing a 32 MB file.
//
//   qv_bench_crash_report [rounds] [seed-output-path]

#include <linux/futex.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include "CRCrashReport.h"
#include "Platform/CRLoader.h"
#include "Platform/CRThreads.h"
#include "crcrash_log_writer.h"

namespace pc = platform::crash;
using Clock = std::chrono::steady_clock;

namespace {

std::atomic<std::uint32_t> g_release{0};
std::atomic<int> g_parked{0};

__attribute__((noinline)) void park(int depth) {
  if (depth > 0) {
    park(depth - 1);
    asm volatile("" ::: "memory");
    return;
  }
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

struct Threads {
  std::vector<std::thread> threads;
  Threads(int count, int depth) {
    g_release = 0;
    g_parked = 0;
    for (int i = 0; i < count; ++i) threads.emplace_back([depth] { park(depth); });
    while (g_parked.load() < count) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ~Threads() {
    g_release = 1;
    syscall(SYS_futex, &g_release, FUTEX_WAKE_PRIVATE, 1 << 30, nullptr, nullptr, 0);
    for (auto& t : threads) t.join();
  }
};

struct Request {
  crcrash_log_writer_t* writer;
  crcrash_async_image_list_t* images;
  crcrash_async_file_t* file;
  const crcrash_log_signal_info_t* signal;
};

int write_here(crcrash_async_thread_state_t* state, void* ctx) {
  auto* r = static_cast<Request*>(ctx);
  return static_cast<int>(
      crcrash_log_writer_write(r->writer, pc::mach_thread_self(), r->images, r->file, r->signal, state));
}

platform::Data write_report(crcrash_log_writer_t* writer, crcrash_async_image_list_t* images,
                            double* micros) {
  char path[] = "/tmp/qv-crash-bench-XXXXXX";
  int fd = mkstemp(path);
  crcrash_async_file_t file;
  crcrash_async_file_init(&file, fd, CRCRASH_REPORT_FILE_LIMIT);
  crcrash_log_bsd_signal_info_t bsd{11, 1, nullptr};
  crcrash_log_signal_info_t signal{&bsd, nullptr};
  Request request{writer, images, &file, &signal};
  auto begin = Clock::now();
  crcrash_async_thread_state_current(write_here, &request);
  crcrash_async_file_close(&file);
  *micros = std::chrono::duration<double, std::micro>(Clock::now() - begin).count();
  std::ifstream in(path, std::ios::binary);
  platform::Data data((std::istreambuf_iterator<char>(in)), {});
  unlink(path);
  return data;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

long rss_kb() {
  std::ifstream in("/proc/self/statm");
  long pages = 0, resident = 0;
  in >> pages >> resident;
  return resident * sysconf(_SC_PAGESIZE) / 1024;
}

double decode_ms(const platform::Data& data, int rounds, bool* ok) {
  std::vector<double> times;
  for (int r = 0; r < rounds; ++r) {
    auto begin = Clock::now();
    platform::Error error;
    auto report = CRCrashReport::initWithData(data, &error);
    times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - begin).count());
    *ok = report != nullptr;
  }
  return median(times);
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = argc > 1 ? std::atoi(argv[1]) : 20;
  crcrash_async_image_list_t images;
  crcrash_nasync_image_list_init(&images, pc::mach_task_self());
  pc::dyld_register_image_callbacks(
      [](std::uint64_t header, std::intptr_t, const char* name, void* list) {
        crcrash_nasync_image_list_append(static_cast<crcrash_async_image_list_t*>(list), header, name);
      },
      [](std::uint64_t header, std::intptr_t, const char*, void* list) {
        crcrash_nasync_image_list_remove(static_cast<crcrash_async_image_list_t*>(list), header);
      },
      &images);
  crcrash_log_writer_t writer;
  crcrash_log_writer_init(&writer, "com.quorvane.bench", "1.0", nullptr, CRCRASH_SYMBOL_STRATEGY_SYMBOL_TABLE,
                          false);

  platform::Data small;
  {
    Threads threads(20, 50);
    std::vector<double> times;
    for (int r = 0; r < rounds; ++r) {
      double micros = 0;
      small = write_report(&writer, &images, &micros);
      times.push_back(micros);
    }
    std::printf(
        "write, 20 threads x 50 frames with symbols: median %8.1f us (target <= 5000 us), %zu bytes "
        "(target <= 32768)\n",
        median(times), small.size());
    // The same report without symbols: what the stops and the stack walks cost on their own.
    crcrash_log_writer_t plain;
    crcrash_log_writer_init(&plain, "com.quorvane.bench", "1.0", nullptr, CRCRASH_SYMBOL_STRATEGY_NONE,
                            false);
    times.clear();
    for (int r = 0; r < rounds; ++r) {
      double micros = 0;
      write_report(&plain, &images, &micros);
      times.push_back(micros);
    }
    std::printf("write, 20 threads x 50 frames without symbols: median %8.1f us\n", median(times));
    crcrash_log_writer_free(&plain);
  }
  platform::Data large;
  {
    Threads threads(300, 600);
    double micros = 0;
    large = write_report(&writer, &images, &micros);
    std::printf("write, 300 threads x 512 frames: %8.1f us, %zu bytes (limit 262144)\n", micros,
                large.size());
  }
  bool ok = false;
  double small_ms = decode_ms(small, rounds, &ok);
  std::printf("decode and model, %zu-byte report: median %6.2f ms (%s)\n", small.size(), small_ms,
              ok ? "ok" : "FAILED");
  double large_ms = decode_ms(large, rounds, &ok);
  std::printf("decode and model, %zu-byte report: median %6.2f ms (target <= 20 ms) (%s)\n", large.size(),
              large_ms, ok ? "ok" : "FAILED");
  platform::Data huge(32 * 1024 * 1024, 0);
  std::copy_n("crcrash\x01", 8, huge.begin());
  long before = rss_kb();
  double refuse_ms = decode_ms(huge, rounds, &ok);
  long after = rss_kb();
  std::printf("refusing a 32 MB file: median %6.3f ms (target <= 1 ms), RSS %+ld kB (%s)\n", refuse_ms,
              after - before, ok ? "decoded?!" : "refused");
  if (argc > 2) {
    std::ofstream(argv[2], std::ios::binary)
        .write(reinterpret_cast<const char*>(small.data()), static_cast<std::streamsize>(small.size()));
  }
  crcrash_log_writer_free(&writer);
  return 0;
}
