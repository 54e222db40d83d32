// Crash capture figures:
//   (a) a live report of this process with 20 threads parked 50 frames deep in -O2 code without frame
//       pointers: median time over the rounds and the report's size;
//   (b) the crash child with the same threads: time from the fault (the child's clock reading just before
//       it) to its exit seen on a pidfd, worst of 20 runs, for signal handlers (type 0) and the exception
//       server (type 1);
//   (c) the crash path's peak use of a 64 KiB alternate stack while it writes the report (the stack is
//       filled with a pattern first).
// Usage: qv_bench_crash_capture [rounds]

#include <fcntl.h>
#include <linux/futex.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "CRCrashReporter.h"
#include "CRCrashSignalHandler.h"
#include "Platform/CRLoader.h"
#include "Platform/CRThreads.h"
#include "crcrash_write_report.h"

namespace pc = platform::crash;
namespace fs = std::filesystem;

extern char** environ;

namespace {

constexpr int kThreads = 20;
constexpr int kDepth = 50;

std::atomic<std::uint32_t> g_release{0};
std::atomic<int> g_parked{0};
std::atomic<int> g_sink{0};

__attribute__((noinline, noclone)) void park(int depth) {
  if (depth == 0) {
    g_parked++;
    while (g_release.load() == 0) syscall(SYS_futex, &g_release, FUTEX_WAIT_PRIVATE, 0, nullptr, nullptr, 0);
  } else {
    park(depth - 1);
  }
  g_sink++;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

std::uint64_t now_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<std::uint64_t>(ts.tv_nsec);
}

// ---- (b) ----

double crash_to_exit_ms(const fs::path& scratch, int type) {
  fs::remove_all(scratch);
  fs::create_directories(scratch);
  const std::string side = (scratch / "side.txt").string();
  std::string cache = "XDG_CACHE_HOME=" + scratch.string();
  std::string tmp = "TMPDIR=" + scratch.string();
  std::string depth = "QV_PARK_DEPTH=" + std::to_string(kDepth);
  char* env[] = {cache.data(), tmp.data(), depth.data(), nullptr};
  std::string type_text = std::to_string(type);
  std::string mode = "null_read";
  std::string child = QV_CRASH_CHILD;
  char* argv[] = {child.data(), mode.data(), type_text.data(), const_cast<char*>(side.c_str()), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  if (posix_spawn(&pid, child.c_str(), &actions, nullptr, argv, env) != 0) return -1;
  posix_spawn_file_actions_destroy(&actions);
  int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  pollfd p{pidfd, POLLIN, 0};
  poll(&p, 1, 10000);
  const std::uint64_t exited = now_ns();
  close(pidfd);
  int status = 0;
  waitpid(pid, &status, 0);
  std::ifstream in(side);
  std::string key;
  std::uint64_t go = 0;
  while (in >> key) {
    if (key == "go") in >> go;
  }
  if (go == 0 || !WIFSIGNALED(status)) return -1;
  return static_cast<double>(exited - go) / 1e6;
}

// ---- (c) ----

constexpr std::size_t kAltStack = 65536;
constexpr unsigned char kPattern = 0xA5;
crcrash_handler_context_t* g_context = nullptr;

void write_on_alt_stack(int signo, siginfo_t* info, void* uap) {
  // The engine's crash callback itself: it writes the report and answers false (no raise here).
  crcrash_signal_crash_callback(signo, info, static_cast<ucontext_t*>(uap), g_context, nullptr);
}

std::size_t peak_alt_stack_use(crcrash_handler_context_t* context) {
  g_context = context;
  std::vector<unsigned char> stack(kAltStack, kPattern);
  stack_t alt{};
  alt.ss_sp = stack.data();
  alt.ss_size = stack.size();
  stack_t old{};
  sigaltstack(&alt, &old);
  struct sigaction action {
  }, previous{};
  action.sa_sigaction = write_on_alt_stack;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigaction(SIGUSR2, &action, &previous);
  raise(SIGUSR2);
  sigaction(SIGUSR2, &previous, nullptr);
  sigaltstack(&old, nullptr);
  std::size_t untouched = 0;
  while (untouched < stack.size() && stack[untouched] == kPattern) ++untouched;
  return stack.size() - untouched;
}

void add_image(std::uint64_t header_addr, std::intptr_t, const char* name, void* context) {
  crcrash_nasync_image_list_append(static_cast<crcrash_async_image_list_t*>(context), header_addr, name);
}
void remove_image(std::uint64_t header_addr, std::intptr_t, const char*, void* context) {
  crcrash_nasync_image_list_remove(static_cast<crcrash_async_image_list_t*>(context), header_addr);
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 50;
  const fs::path scratch = fs::temp_directory_path() / ("qv-bench-crash-capture-" + std::to_string(getpid()));
  fs::create_directories(scratch);
  setenv("XDG_CACHE_HOME", scratch.c_str(), 1);
  setenv("TMPDIR", scratch.c_str(), 1);
  // The writer's debug lines (missing machine facts) are not figures.
  int quiet = open("/dev/null", O_WRONLY);
  int saved_stderr = dup(2);
  dup2(quiet, 2);

  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) threads.emplace_back([] { park(kDepth); });
  while (g_parked.load() < kThreads) std::this_thread::yield();

  // (a)
  auto reporter = CRCrashReporter::initWithApplicationIdentifier(
      "com.quorvane.bench", "1", "1.0", CRCrashReporterConfig::initWithSignalHandlerType(2, 1, false));
  std::vector<double> times;
  std::size_t size = 0;
  for (int i = 0; i < rounds; ++i) {
    const auto start = std::chrono::steady_clock::now();
    auto data = reporter->generateLiveReport();
    times.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    if (data) size = data->size();
  }

  // (c)
  crcrash_async_image_list_t images;
  crcrash_nasync_image_list_init(&images, pc::mach_task_self());
  int loader = pc::dyld_register_image_callbacks(add_image, remove_image, &images);
  auto* context = new crcrash_handler_context_t();
  const std::string path = (scratch / "alt.crcrash").string();
  context->path = strdup(path.c_str());
  context->image_list = &images;
  crcrash_log_writer_init(&context->writer, "com.quorvane.bench", "1", "1.0", 1, false);
  const std::size_t peak = peak_alt_stack_use(context);
  const bool written = fs::exists(path) && fs::file_size(path) > 0;

  g_release.store(1);
  syscall(SYS_futex, &g_release, FUTEX_WAKE_PRIVATE, kThreads, nullptr, nullptr, 0);
  for (auto& t : threads) t.join();
  pc::dyld_unregister_image_callbacks(loader);

  // (b)
  double worst[2] = {0, 0};
  bool failed = false;
  for (int type = 0; type < 2; ++type) {
    for (int i = 0; i < 20; ++i) {
      double ms = crash_to_exit_ms(scratch / "child", type);
      if (ms < 0) failed = true;
      worst[type] = std::max(worst[type], ms);
    }
  }
  dup2(saved_stderr, 2);

  std::printf(
      "(a) live report, %d threads x %d frames (-O2, no frame pointers), %d rounds: median %.2f ms, "
      "%zu bytes\n",
      kThreads, kDepth, rounds, median(times), size);
  std::printf(
      "(b) crash child with the same threads, fault to exit, worst of 20: type 0 %.2f ms, type 1 %.2f ms%s\n",
      worst[0], worst[1], failed ? " (a run failed)" : "");
  std::printf("(c) peak use of the 64 KiB alternate stack while writing: %zu bytes%s\n", peak,
              written ? "" : " (no report written)");
  fs::remove_all(scratch);
  return failed || !written ? 1 : 0;
}
