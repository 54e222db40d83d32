#include "CRTaskMemory.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>

namespace platform::crash {

namespace {

struct Region {
  std::atomic<std::uint64_t> start;
  std::atomic<std::uint64_t> end;
};

// Adjacent readable regions are merged, so a few thousand entries cover any process we run in.
constexpr std::size_t kMaxRegions = 8192;
constinit Region g_regions[kMaxRegions]{};
std::atomic<std::size_t> g_region_count{0};
// Even while the table is stable, odd while it is being written.
std::atomic<std::uint32_t> g_sequence{0};
std::atomic<bool> g_writing{false};
std::atomic<bool> g_loaded{false};

std::uint64_t parse_hex(const char*& p, const char* end) {
  std::uint64_t value = 0;
  while (p < end) {
    char c = *p;
    unsigned digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else {
      break;
    }
    value = value * 16 + digit;
    ++p;
  }
  return value;
}

// One probe read of a single byte: true when the page holding `address` is readable right now.
bool probe_readable(std::uint64_t address) {
  char byte;
  iovec local{&byte, 1};
  iovec remote{reinterpret_cast<void*>(address), 1};
  return process_vm_readv(static_cast<pid_t>(mach_task_self()), &local, 1, &remote, 1, 0) == 1;
}

// The end of the readable run that holds `address` according to the table, or 0 when the table does not
// list it (or was being rewritten while we looked).
std::uint64_t table_readable_end(std::uint64_t address) {
  std::uint32_t before = g_sequence.load(std::memory_order_acquire);
  if ((before & 1) != 0) return 0;
  std::uint64_t table_end = 0;
  std::size_t count = g_region_count.load(std::memory_order_relaxed);
  std::size_t low = 0, high = count;
  while (low < high) {
    std::size_t mid = low + (high - low) / 2;
    if (g_regions[mid].end.load(std::memory_order_relaxed) <= address) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  if (low < count && g_regions[low].start.load(std::memory_order_relaxed) <= address) {
    table_end = g_regions[low].end.load(std::memory_order_relaxed);
  }
  std::atomic_thread_fence(std::memory_order_acquire);
  if (g_sequence.load(std::memory_order_relaxed) != before) return 0;
  return table_end;
}

// A plain copy of own memory the table lists as readable. Not instrumented: the bytes may lie in another
// thread's stack or next to a heap block, where a sanitizer's shadow would object to an ordinary load.
__attribute__((no_sanitize("address", "undefined"))) void copy_own(const volatile std::uint8_t* from,
                                                                   std::uint8_t* to, std::uint64_t length) {
  for (std::uint64_t i = 0; i < length; ++i) to[i] = from[i];
}

}  // namespace

namespace {
// getpid() is a system call each time; the id is kept and renewed in a forked child.
std::atomic<pid_t> g_pid{0};
void renew_pid() { g_pid.store(getpid(), std::memory_order_relaxed); }
}  // namespace

task_t mach_task_self() {
  pid_t pid = g_pid.load(std::memory_order_relaxed);
  if (pid == 0) {
    static const bool registered = [] {
      pthread_atfork(nullptr, nullptr, renew_pid);
      return true;
    }();
    (void)registered;
    renew_pid();
    pid = g_pid.load(std::memory_order_relaxed);
  }
  return static_cast<task_t>(pid);
}
thread_t mach_thread_self() { return static_cast<thread_t>(syscall(SYS_gettid)); }

std::uint64_t page_size() {
  static const std::uint64_t size = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
  return size;
}

kern_return_t mach_vm_read_overwrite(task_t task, mach_vm_address_t address, mach_vm_size_t size, void* dest,
                                     mach_vm_size_t* out_size) {
  if (out_size != nullptr) *out_size = 0;
  if (size == 0) return KERN_SUCCESS;
  if (address + size < address) return KERN_INVALID_ADDRESS;
  // Own memory that the region table lists as readable is copied directly: a system call per read costs
  // microseconds, and a stack walk reads a few words per frame. Anything else, or a table not loaded
  // yet, goes through process_vm_readv, which fails cleanly on any address.
  if (task == mach_task_self() && g_loaded.load(std::memory_order_acquire)) {
    std::uint64_t end = table_readable_end(address);
    if (end != 0 && end - address >= size) {
      copy_own(reinterpret_cast<const volatile std::uint8_t*>(address), static_cast<std::uint8_t*>(dest),
               size);
      if (out_size != nullptr) *out_size = size;
      return KERN_SUCCESS;
    }
  }
  iovec local{dest, static_cast<std::size_t>(size)};
  iovec remote{reinterpret_cast<void*>(address), static_cast<std::size_t>(size)};
  ssize_t n = process_vm_readv(static_cast<pid_t>(task), &local, 1, &remote, 1, 0);
  if (n == static_cast<ssize_t>(size)) {
    if (out_size != nullptr) *out_size = size;
    return KERN_SUCCESS;
  }
  int error = n < 0 ? errno : EFAULT;
  if (error == ESRCH || error == EINVAL) return KERN_INVALID_ARGUMENT;
  if (error == EPERM) return KERN_PROTECTION_FAILURE;
  if (error == ENOMEM) return KERN_RESOURCE_SHORTAGE;
  // The read stopped at the first page it could not read; mincore says whether that page exists. For
  // another process the own address space says nothing, so its faults count as unmapped.
  std::uint64_t failed = address + (n > 0 ? static_cast<std::uint64_t>(n) : 0);
  if (task != mach_task_self()) return KERN_INVALID_ADDRESS;
  unsigned char vec;
  std::uint64_t page = failed & ~(page_size() - 1);
  if (mincore(reinterpret_cast<void*>(page), page_size(), &vec) != 0 && errno == ENOMEM) {
    return KERN_INVALID_ADDRESS;
  }
  return KERN_PROTECTION_FAILURE;
}

bool region_table_refresh() {
  bool expected = false;
  if (!g_writing.compare_exchange_strong(expected, true, std::memory_order_acquire)) return false;
  int fd = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    g_writing.store(false, std::memory_order_release);
    return false;
  }
  g_sequence.fetch_add(1, std::memory_order_acq_rel);
  std::size_t count = 0;
  char buffer[4096];
  std::size_t fill = 0;
  bool ok = true;
  for (;;) {
    ssize_t n = read(fd, buffer + fill, sizeof buffer - fill);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ok = false;
      break;
    }
    fill += static_cast<std::size_t>(n);
    std::size_t line_start = 0;
    for (std::size_t i = 0; i < fill; ++i) {
      if (buffer[i] != '\n') continue;
      const char* p = buffer + line_start;
      const char* end = buffer + i;
      line_start = i + 1;
      std::uint64_t start = parse_hex(p, end);
      if (p >= end || *p != '-') continue;
      ++p;
      std::uint64_t stop = parse_hex(p, end);
      if (p + 1 >= end || p[1] != 'r' || stop <= start) continue;
      if (count > 0 && g_regions[count - 1].end.load(std::memory_order_relaxed) == start) {
        g_regions[count - 1].end.store(stop, std::memory_order_relaxed);
      } else if (count < kMaxRegions) {
        g_regions[count].start.store(start, std::memory_order_relaxed);
        g_regions[count].end.store(stop, std::memory_order_relaxed);
        ++count;
      }
    }
    // Keep the unfinished line; a line longer than the buffer (a very long path) is dropped whole,
    // and its region is then found by probing.
    if (line_start == 0 && fill == sizeof buffer) {
      fill = 0;
    } else {
      for (std::size_t i = line_start; i < fill; ++i) buffer[i - line_start] = buffer[i];
      fill -= line_start;
    }
    if (n == 0) break;
  }
  close(fd);
  if (ok) g_region_count.store(count, std::memory_order_relaxed);
  g_sequence.fetch_add(1, std::memory_order_acq_rel);
  if (ok) g_loaded.store(true, std::memory_order_release);
  g_writing.store(false, std::memory_order_release);
  return ok;
}

std::uint64_t readable_prefix(std::uint64_t page_start, std::uint64_t length) {
  const std::uint64_t page = page_size();
  if (!g_loaded.load(std::memory_order_acquire)) region_table_refresh();
  std::uint64_t done = 0;
  while (done < length) {
    std::uint64_t address = page_start + done;
    if (address < page_start) break;
    std::uint64_t table_end = table_readable_end(address);
    if (table_end > address) {
      std::uint64_t run = table_end - address;
      done = run >= length - done ? length : done + run;
      continue;
    }
    if (!probe_readable(address)) break;
    done = page >= length - done ? length : done + page;
  }
  return done;
}

}  // namespace platform::crash
