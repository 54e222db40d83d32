// The buffered report file: its limit, its 256-byte buffer, interrupted writes and failing descriptors.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "CrashTestSupport.h"
#include "crcrash_async.h"

using crash_test::CapturedStderr;

namespace {

struct Pipe {
  int fds[2];
  Pipe() { EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0); }
  ~Pipe() {
    close(fds[0]);
    if (fds[1] >= 0) close(fds[1]);
  }
  std::size_t available() const {
    int n = 0;
    ioctl_fionread(&n);
    return static_cast<std::size_t>(n);
  }
  void ioctl_fionread(int* n) const;
};

}  // namespace

#include <sys/ioctl.h>
void Pipe::ioctl_fionread(int* n) const { ioctl(fds[0], FIONREAD, n); }

TEST(CrashBufferedFile, LimitAndBuffer) {
  struct Step {
    std::uint64_t length;
    bool accepted;
    std::uint64_t total_after;
    std::uint64_t fill_after;
    std::size_t on_descriptor_after;
  };
  struct Case {
    const char* what;
    std::uint64_t limit;
    std::vector<Step> steps;
  } cases[] = {
      {"limit 100",
       100,
       {{60, true, 60, 60, 0}, {50, false, 60, 60, 0}, {40, true, 100, 100, 0}, {1, false, 100, 100, 0}}},
      {"256 bytes are buffered", 0, {{256, true, 0, 256, 0}}},
      {"257 bytes go straight through", 0, {{257, true, 0, 0, 257}}},
      {"a full buffer is written out first", 0, {{200, true, 0, 200, 0}, {100, true, 0, 100, 200}}},
      {"a large write after a small one", 0, {{10, true, 0, 10, 0}, {300, true, 0, 0, 310}}},
  };
  std::vector<std::uint8_t> data(400, 'x');
  for (const Case& c : cases) {
    Pipe p;
    crcrash_async_file_t file;
    crcrash_async_file_init(&file, p.fds[1], c.limit);
    for (const Step& s : c.steps) {
      EXPECT_EQ(crcrash_async_file_write(&file, data.data(), s.length), s.accepted) << c.what;
      EXPECT_EQ(file.total, s.total_after) << c.what;
      EXPECT_EQ(file.fill, s.fill_after) << c.what;
      EXPECT_EQ(p.available(), s.on_descriptor_after) << c.what;
    }
    std::uint64_t expected_total = p.available() + file.fill;
    EXPECT_TRUE(crcrash_async_file_flush(&file)) << c.what;
    EXPECT_EQ(p.available(), expected_total) << c.what;
    EXPECT_TRUE(crcrash_async_file_close(&file)) << c.what;
    p.fds[1] = -1;
  }
}

namespace {
std::atomic<int> g_interruptions{0};
void count_interruption(int) { g_interruptions++; }

char thread_state(pid_t tid) {
  std::string stat = crash_test::read_text("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::size_t close_paren = stat.rfind(')');
  return close_paren == std::string::npos || close_paren + 2 >= stat.size() ? '?' : stat[close_paren + 2];
}
}  // namespace

// A write interrupted by a signal before any byte went out is retried until everything is written.
TEST(CrashBufferedFile, InterruptedWriteIsRetried) {
  struct sigaction action {};
  action.sa_handler = count_interruption;  // no SA_RESTART: the blocked write fails with EINTR
  struct sigaction old {};
  ASSERT_EQ(sigaction(SIGUSR2, &action, &old), 0);
  Pipe p;
  // Fill the pipe so that the next write blocks.
  fcntl(p.fds[1], F_SETFL, O_NONBLOCK);
  std::vector<char> filler(4096, 'f');
  std::size_t filled = 0;
  for (;;) {
    ssize_t n = write(p.fds[1], filler.data(), filler.size());
    if (n <= 0) break;
    filled += static_cast<std::size_t>(n);
  }
  fcntl(p.fds[1], F_SETFL, 0);
  std::atomic<pid_t> writer_tid{0};
  std::atomic<long long> written{0};
  std::thread writer([&] {
    writer_tid = static_cast<pid_t>(syscall(SYS_gettid));
    std::vector<char> payload(1000, 'p');
    written = crcrash_async_write_all(p.fds[1], payload.data(), payload.size());
  });
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while ((writer_tid == 0 || thread_state(writer_tid) != 'S') &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  ASSERT_EQ(thread_state(writer_tid), 'S');
  pthread_kill(writer.native_handle(), SIGUSR2);
  while (g_interruptions == 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  // Drain what was filled plus the payload.
  std::vector<char> sink(65536);
  std::size_t drained = 0;
  while (drained < filled + 1000) {
    ssize_t n = read(p.fds[0], sink.data(), sink.size());
    ASSERT_GT(n, 0);
    drained += static_cast<std::size_t>(n);
  }
  writer.join();
  EXPECT_EQ(g_interruptions.load(), 1);
  EXPECT_EQ(written.load(), 1000);
  sigaction(SIGUSR2, &old, nullptr);
}

// A descriptor that fails makes the file fail for good: later writes, the flush and the close all say so.
TEST(CrashBufferedFile, FailureIsSticky) {
  struct Case {
    const char* what;
    std::uint64_t first_write;
    bool first_accepted;
  } cases[] = {
      {"failure on a straight-through write", 300, false},
      {"failure found at flush", 100, true},
  };
  for (const Case& c : cases) {
    CapturedStderr captured;
    Pipe p;
    close(p.fds[0]);
    p.fds[0] = open("/dev/null", O_RDONLY);
    signal(SIGPIPE, SIG_IGN);
    crcrash_async_file_t file;
    crcrash_async_file_init(&file, p.fds[1], 0);
    std::vector<std::uint8_t> data(300, 'x');
    EXPECT_EQ(crcrash_async_file_write(&file, data.data(), c.first_write), c.first_accepted) << c.what;
    EXPECT_FALSE(crcrash_async_file_flush(&file)) << c.what;
    EXPECT_FALSE(crcrash_async_file_write(&file, data.data(), 1)) << c.what;
    EXPECT_FALSE(crcrash_async_file_flush(&file)) << c.what;
    EXPECT_FALSE(crcrash_async_file_close(&file)) << c.what;
    EXPECT_EQ(fcntl(p.fds[1], F_GETFD), -1) << c.what << ": the descriptor is closed all the same";
    p.fds[1] = -1;
    EXPECT_NE(captured.text().find("Error occured writing to crash log: Broken pipe"), std::string::npos)
        << captured.text();
  }
  // A descriptor that cannot be closed.
  CapturedStderr captured;
  crcrash_async_file_t file;
  crcrash_async_file_init(&file, 987654, 0);
  EXPECT_FALSE(crcrash_async_file_close(&file));
  EXPECT_NE(captured.text().find("Error closing file: Bad file descriptor"), std::string::npos)
      << captured.text();
}
