#include "crcrash_async.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

#include <cstdlib>

#include "Platform/CRSysctl.h"
#include "Platform/CRTaskMemory.h"

namespace pc = platform::crash;

const char* crcrash_async_strerror(crcrash_error_t error) {
  switch (error) {
    case CRCRASH_ERR_NONE:
      return "No error";
    case CRCRASH_ERR_UNKNOWN:
      return "Unknown error";
    case CRCRASH_ERR_OUTPUT:
      return "Output file can not be opened (or written to)";
    case CRCRASH_ERR_NOMEM:
      return "No memory available";
    case CRCRASH_ERR_NOTSUP:
      return "Operation not supported";
    case CRCRASH_ERR_INVAL:
      return "Invalid argument";
    case CRCRASH_ERR_INTERNAL:
      return "Internal error";
    case CRCRASH_ERR_ACCESS:
      return "Access denied";
    case CRCRASH_ERR_NOTFOUND:
      return "Not found";
    case CRCRASH_ERR_BADDATA:
      return "The input data is in an unknown or invalid format.";
  }
  return "Unhandled error code";
}

// ---- Byte order ----

namespace {
std::uint16_t direct16(std::uint16_t v) { return v; }
std::uint32_t direct32(std::uint32_t v) { return v; }
std::uint64_t direct64(std::uint64_t v) { return v; }
std::uint16_t swapped16(std::uint16_t v) { return __builtin_bswap16(v); }
std::uint32_t swapped32(std::uint32_t v) { return __builtin_bswap32(v); }
std::uint64_t swapped64(std::uint64_t v) { return __builtin_bswap64(v); }

// True when address + offset leaves the unsigned 64-bit range.
bool offset_overflows(std::uint64_t address, std::int64_t offset) {
  if (offset > 0) return ~static_cast<std::uint64_t>(offset) < address;
  if (offset < 0) return static_cast<std::uint64_t>(0) - static_cast<std::uint64_t>(offset) > address;
  return false;
}
}  // namespace

const crcrash_async_byteorder_t crcrash_async_byteorder_direct = {direct16, direct32, direct64};
const crcrash_async_byteorder_t crcrash_async_byteorder_swapped = {swapped16, swapped32, swapped64};
const crcrash_async_byteorder_t* crcrash_async_byteorder_little_endian() {
  return &crcrash_async_byteorder_direct;
}
const crcrash_async_byteorder_t* crcrash_async_byteorder_big_endian() {
  return &crcrash_async_byteorder_swapped;
}

// ---- Task memory ----

crcrash_error_t crcrash_async_task_memcpy(task_t task, std::uint64_t address, std::int64_t offset, void* dest,
                                          std::uint64_t length) {
  if (offset_overflows(address, offset)) return CRCRASH_ERR_NOMEM;
  std::uint64_t size = length;
  kern_return_t kr =
      pc::mach_vm_read_overwrite(task, address + static_cast<std::uint64_t>(offset), length, dest, &size);
  switch (kr) {
    case pc::KERN_SUCCESS:
      return CRCRASH_ERR_NONE;
    case pc::KERN_INVALID_ADDRESS:
      return CRCRASH_ERR_NOTFOUND;
    case pc::KERN_PROTECTION_FAILURE:
      return CRCRASH_ERR_ACCESS;
    default:
      CRCRASH_DEBUG("Unexpected error from vm_read_overwrite: %d", kr);
      return CRCRASH_ERR_UNKNOWN;
  }
}

kern_return_t crcrash_async_task_vm_read(task_t task, std::uint64_t address, void* dest,
                                         std::uint64_t length) {
  std::uint64_t size = length;
  return pc::mach_vm_read_overwrite(task, address, length, dest, &size);
}

crcrash_error_t crcrash_async_task_read_uint8(task_t task, std::uint64_t address, std::int64_t offset,
                                              std::uint8_t* dest) {
  return crcrash_async_task_memcpy(task, address, offset, dest, 1);
}

crcrash_error_t crcrash_async_task_read_uint16(task_t task, const crcrash_async_byteorder_t* byteorder,
                                               std::uint64_t address, std::int64_t offset,
                                               std::uint16_t* dest) {
  crcrash_error_t err = crcrash_async_task_memcpy(task, address, offset, dest, sizeof *dest);
  *dest = byteorder->swap16(*dest);
  return err;
}

crcrash_error_t crcrash_async_task_read_uint32(task_t task, const crcrash_async_byteorder_t* byteorder,
                                               std::uint64_t address, std::int64_t offset,
                                               std::uint32_t* dest) {
  crcrash_error_t err = crcrash_async_task_memcpy(task, address, offset, dest, sizeof *dest);
  *dest = byteorder->swap32(*dest);
  return err;
}

crcrash_error_t crcrash_async_task_read_uint64(task_t task, const crcrash_async_byteorder_t* byteorder,
                                               std::uint64_t address, std::int64_t offset,
                                               std::uint64_t* dest) {
  crcrash_error_t err = crcrash_async_task_memcpy(task, address, offset, dest, sizeof *dest);
  *dest = byteorder->swap64(*dest);
  return err;
}

bool crcrash_async_address_add_offset(std::uint64_t base, std::int64_t offset, std::uint64_t* result) {
  if (offset_overflows(base, offset)) return false;
  if (result != nullptr) *result = base + static_cast<std::uint64_t>(offset);
  return true;
}

thread_t cr_mach_thread_self() { return pc::mach_thread_self(); }

// ---- Memory objects ----

crcrash_error_t crcrash_async_mobject_init(crcrash_async_mobject_t* mobj, task_t task,
                                           std::uint64_t task_address, std::uint64_t length,
                                           bool require_full) {
  const std::uint64_t page = pc::page_size();
  const std::uint64_t page_start = task_address & ~(page - 1);
  std::uint64_t end;
  if (!crcrash_async_address_add_offset(task_address, static_cast<std::int64_t>(length), &end) ||
      static_cast<std::int64_t>(length) < 0) {
    CRCRASH_DEBUG("No mappable pages found at 0x%llx", static_cast<unsigned long long>(task_address));
    return CRCRASH_ERR_NOMEM;
  }
  std::uint64_t total = end - page_start;
  if (total % page != 0) {
    std::uint64_t rounded = total + (page - total % page);
    if (rounded < total) return CRCRASH_ERR_NOMEM;
    total = rounded;
  }
  if (task != pc::mach_task_self()) {
    // Only the own task has an identity window; other tasks are read with task reads.
    CRCRASH_DEBUG("mach_make_memory_entry_64() failed: %d", pc::KERN_INVALID_ARGUMENT);
    return CRCRASH_ERR_NOTSUP;
  }
  std::uint64_t readable = total == 0 ? 0 : pc::readable_prefix(page_start, total);
  if (require_full) {
    if (total == 0 || readable < total) {
      CRCRASH_DEBUG("mach_make_memory_entry_64() failed: %d", pc::KERN_INVALID_ADDRESS);
      return CRCRASH_ERR_NOMEM;
    }
  } else {
    if (readable == 0) {
      CRCRASH_DEBUG("No mappable pages found at 0x%llx", static_cast<unsigned long long>(task_address));
      return CRCRASH_ERR_NOMEM;
    }
    total = readable;
  }
  const std::uint64_t page_offset = task_address - page_start;
  mobj->task = task;
  mobj->map_base = page_start;
  mobj->map_length = total;
  mobj->local_address = task_address;
  mobj->task_address = task_address;
  mobj->length = total - page_offset < length ? total - page_offset : length;
  mobj->slide = 0;
  pc::mach_port_mod_refs(task, 1);
  return CRCRASH_ERR_NONE;
}

bool crcrash_async_mobject_verify_local_pointer(const crcrash_async_mobject_t* mobj,
                                                std::uint64_t local_address, std::int64_t offset,
                                                std::uint64_t length) {
  std::uint64_t start;
  if (!crcrash_async_address_add_offset(local_address, offset, &start)) return false;
  if (start + length < start) return false;
  if (start < mobj->local_address) return false;
  if (start + length > mobj->local_address + mobj->length) return false;
  return true;
}

void* crcrash_async_mobject_remap_address(const crcrash_async_mobject_t* mobj, std::uint64_t task_address,
                                          std::int64_t offset, std::uint64_t length) {
  std::uint64_t local = task_address - mobj->slide;
  if (!crcrash_async_mobject_verify_local_pointer(mobj, local, offset, length)) return nullptr;
  return reinterpret_cast<void*>(local + static_cast<std::uint64_t>(offset));
}

crcrash_error_t crcrash_async_mobject_read_uint8(const crcrash_async_mobject_t* mobj,
                                                 std::uint64_t task_address, std::int64_t offset,
                                                 std::uint8_t* dest) {
  auto* p =
      static_cast<const std::uint8_t*>(crcrash_async_mobject_remap_address(mobj, task_address, offset, 1));
  if (p == nullptr) return CRCRASH_ERR_INVAL;
  *dest = *p;
  return CRCRASH_ERR_NONE;
}

namespace {
template <typename T, T (*const crcrash_async_byteorder_t::*swap)(T)>
crcrash_error_t mobject_read(const crcrash_async_mobject_t* mobj, const crcrash_async_byteorder_t* byteorder,
                             std::uint64_t task_address, std::int64_t offset, T* dest) {
  void* p = crcrash_async_mobject_remap_address(mobj, task_address, offset, sizeof *dest);
  if (p == nullptr) return CRCRASH_ERR_INVAL;
  crcrash_async_memcpy(dest, p, sizeof *dest);
  *dest = (byteorder->*swap)(*dest);
  return CRCRASH_ERR_NONE;
}
}  // namespace

crcrash_error_t crcrash_async_mobject_read_uint16(const crcrash_async_mobject_t* mobj,
                                                  const crcrash_async_byteorder_t* byteorder,
                                                  std::uint64_t task_address, std::int64_t offset,
                                                  std::uint16_t* dest) {
  return mobject_read<std::uint16_t, &crcrash_async_byteorder_t::swap16>(mobj, byteorder, task_address,
                                                                         offset, dest);
}

crcrash_error_t crcrash_async_mobject_read_uint32(const crcrash_async_mobject_t* mobj,
                                                  const crcrash_async_byteorder_t* byteorder,
                                                  std::uint64_t task_address, std::int64_t offset,
                                                  std::uint32_t* dest) {
  return mobject_read<std::uint32_t, &crcrash_async_byteorder_t::swap32>(mobj, byteorder, task_address,
                                                                         offset, dest);
}

crcrash_error_t crcrash_async_mobject_read_uint64(const crcrash_async_mobject_t* mobj,
                                                  const crcrash_async_byteorder_t* byteorder,
                                                  std::uint64_t task_address, std::int64_t offset,
                                                  std::uint64_t* dest) {
  return mobject_read<std::uint64_t, &crcrash_async_byteorder_t::swap64>(mobj, byteorder, task_address,
                                                                         offset, dest);
}

std::uint64_t crcrash_async_mobject_base_address(const crcrash_async_mobject_t* mobj) {
  return mobj->task_address;
}
std::uint64_t crcrash_async_mobject_length(const crcrash_async_mobject_t* mobj) { return mobj->length; }
task_t crcrash_async_mobject_task(const crcrash_async_mobject_t* mobj) { return mobj->task; }

void crcrash_async_mobject_free(crcrash_async_mobject_t* mobj) {
  // The identity window maps nothing of its own; only the task reference goes.
  pc::mach_port_mod_refs(mobj->task, -1);
  mobj->map_base = 0;
  mobj->map_length = 0;
  mobj->length = 0;
}

// ---- Buffered report file ----

void crcrash_async_file_init(crcrash_async_file_t* file, int fd, std::uint64_t limit) {
  file->fd = fd;
  file->limit = limit;
  file->total = 0;
  file->fill = 0;
  file->failed = false;
}

long long crcrash_async_write_all(int fd, const void* data, std::uint64_t length) {
  const char* p = static_cast<const char*>(data);
  std::uint64_t written = 0;
  while (written < length) {
    ssize_t n = write(fd, p + written, length - written);
    if (n < 1) {
      if (errno == EINTR) continue;
      return -1;
    }
    written += static_cast<std::uint64_t>(n);
  }
  return static_cast<long long>(written);
}

bool crcrash_async_file_write(crcrash_async_file_t* file, const void* data, std::uint64_t length) {
  if (file->failed) return false;
  if (file->limit > 0) {
    if (file->total + length > file->limit || file->total + length < file->total) return false;
    file->total += length;
  }
  if (file->fill + length > sizeof file->buffer) {
    if (crcrash_async_write_all(file->fd, file->buffer, file->fill) < 0) {
      CRCRASH_DEBUG("Error occured writing to crash log: %s", crcrash_async_errno_text(errno));
      file->failed = true;
      return false;
    }
    file->fill = 0;
  }
  if (file->fill + length <= sizeof file->buffer) {
    crcrash_async_memcpy(file->buffer + file->fill, data, length);
    file->fill += length;
    return true;
  }
  if (crcrash_async_write_all(file->fd, data, length) < 0) {
    CRCRASH_DEBUG("Error occured writing to crash log: %s", crcrash_async_errno_text(errno));
    file->failed = true;
    return false;
  }
  return true;
}

bool crcrash_async_file_flush(crcrash_async_file_t* file) {
  if (file->failed) return false;
  if (file->fill == 0) return true;
  if (crcrash_async_write_all(file->fd, file->buffer, file->fill) < 0) {
    CRCRASH_DEBUG("Error occured writing to crash log: %s", crcrash_async_errno_text(errno));
    file->failed = true;
    return false;
  }
  file->fill = 0;
  return true;
}

bool crcrash_async_file_close(crcrash_async_file_t* file) {
  // The descriptor is closed whatever the flush said, so a failed report leaves no descriptor behind.
  bool flushed = crcrash_async_file_flush(file);
  if (close(file->fd) != 0) {
    CRCRASH_DEBUG("Error closing file: %s", crcrash_async_errno_text(errno));
    return false;
  }
  return flushed;
}

// ---- Strings and utilities ----

char crcrash_async_peek(const char* p) { return *static_cast<const volatile char*>(p); }

int crcrash_async_strcmp(const char* a, const char* b) {
  const auto* x = reinterpret_cast<const unsigned char*>(a);
  const auto* y = reinterpret_cast<const unsigned char*>(b);
  while (*x != 0 && *x == *y) {
    ++x;
    ++y;
  }
  return static_cast<int>(*x) - static_cast<int>(*y);
}

int crcrash_async_strncmp(const char* a, const char* b, std::size_t n) {
  const auto* x = reinterpret_cast<const unsigned char*>(a);
  const auto* y = reinterpret_cast<const unsigned char*>(b);
  for (std::size_t i = 0; i < n; ++i) {
    if (x[i] != y[i]) return static_cast<int>(x[i]) - static_cast<int>(y[i]);
    if (x[i] == 0) return 0;
  }
  return 0;
}

void* crcrash_async_memcpy(void* dest, const void* src, std::size_t n) {
  auto* d = static_cast<volatile std::uint8_t*>(dest);
  const auto* s = static_cast<const std::uint8_t*>(src);
  for (std::size_t i = 0; i < n; ++i) d[i] = s[i];
  return dest;
}

void* crcrash_async_memset(void* dest, int value, std::size_t n) {
  auto* d = static_cast<volatile std::uint8_t*>(dest);
  for (std::size_t i = 0; i < n; ++i) d[i] = static_cast<std::uint8_t>(value);
  return dest;
}

const char* crcrash_async_errno_text(int error) {
  const char* text = strerrordesc_np(error);
  return text != nullptr ? text : "Unknown error";
}

namespace {

struct Output {
  char* buffer;
  std::size_t size;
  std::size_t length;
  void put(char c) {
    if (length + 1 < size) buffer[length] = c;
    ++length;
  }
};

void put_number(Output& out, unsigned long long value, unsigned base, bool upper, bool negative, int width,
                bool zero_pad, bool left) {
  char digits[24];
  int n = 0;
  const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  do {
    digits[n++] = set[value % base];
    value /= base;
  } while (value != 0);
  int len = n + (negative ? 1 : 0);
  if (!left && !zero_pad) {
    for (int i = len; i < width; ++i) out.put(' ');
  }
  if (negative) out.put('-');
  if (!left && zero_pad) {
    for (int i = len; i < width; ++i) out.put('0');
  }
  while (n > 0) out.put(digits[--n]);
  if (left) {
    for (int i = len; i < width; ++i) out.put(' ');
  }
}

}  // namespace

std::size_t crcrash_async_format(char* buffer, std::size_t size, const char* format, va_list args) {
  Output out{buffer, size, 0};
  for (const char* p = format; *p != 0; ++p) {
    if (*p != '%') {
      out.put(*p);
      continue;
    }
    ++p;
    bool zero_pad = false, left = false;
    for (;; ++p) {
      if (*p == '0') {
        zero_pad = true;
      } else if (*p == '-') {
        left = true;
      } else {
        break;
      }
    }
    int width = 0;
    if (*p == '*') {
      width = va_arg(args, int);
      ++p;
    } else {
      while (*p >= '0' && *p <= '9') width = width * 10 + (*p++ - '0');
    }
    int precision = -1;
    if (*p == '.') {
      ++p;
      precision = 0;
      if (*p == '*') {
        precision = va_arg(args, int);
        ++p;
      } else {
        while (*p >= '0' && *p <= '9') precision = precision * 10 + (*p++ - '0');
      }
    }
    int longs = 0;  // -2 hh, -1 h, 1 l, 2 ll / z / j
    for (;; ++p) {
      if (*p == 'l') {
        ++longs;
      } else if (*p == 'h') {
        --longs;
      } else if (*p == 'z' || *p == 'j') {
        longs = 2;
      } else {
        break;
      }
    }
    switch (*p) {
      case 'd':
      case 'i': {
        long long v = longs >= 2   ? va_arg(args, long long)
                      : longs == 1 ? va_arg(args, long)
                                   : va_arg(args, int);
        if (longs == -1) v = static_cast<short>(v);
        if (longs <= -2) v = static_cast<signed char>(v);
        unsigned long long magnitude =
            v < 0 ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
        put_number(out, magnitude, 10, false, v < 0, width, zero_pad, left);
        break;
      }
      case 'u':
      case 'x':
      case 'X': {
        unsigned long long v = longs >= 2   ? va_arg(args, unsigned long long)
                               : longs == 1 ? va_arg(args, unsigned long)
                                            : va_arg(args, unsigned int);
        if (longs == -1) v = static_cast<unsigned short>(v);
        if (longs <= -2) v = static_cast<unsigned char>(v);
        put_number(out, v, *p == 'u' ? 10 : 16, *p == 'X', false, width, zero_pad, left);
        break;
      }
      case 'p': {
        auto v = reinterpret_cast<std::uintptr_t>(va_arg(args, void*));
        out.put('0');
        out.put('x');
        put_number(out, v, 16, false, false, 0, false, false);
        break;
      }
      case 's': {
        const char* s = va_arg(args, const char*);
        if (s == nullptr) s = "(null)";
        int len = 0;
        while (s[len] != 0 && (precision < 0 || len < precision)) ++len;
        if (!left) {
          for (int i = len; i < width; ++i) out.put(' ');
        }
        for (int i = 0; i < len; ++i) out.put(s[i]);
        if (left) {
          for (int i = len; i < width; ++i) out.put(' ');
        }
        break;
      }
      case 'c':
        out.put(static_cast<char>(va_arg(args, int)));
        break;
      case '%':
        out.put('%');
        break;
      case 0:
        --p;
        break;
      default:
        out.put('%');
        out.put(*p);
        break;
    }
  }
  if (size > 0) buffer[out.length < size ? out.length : size - 1] = 0;
  return out.length < size ? out.length : (size > 0 ? size - 1 : 0);
}

std::size_t crcrash_async_snprintf(char* buffer, std::size_t size, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::size_t n = crcrash_async_format(buffer, size, format, args);
  va_end(args);
  return n;
}

namespace {
std::size_t async_c_length(const char* s) {
  std::size_t n = 0;
  while (s[n] != 0) ++n;
  return n;
}
}  // namespace

void crcrash_async_debug_log(const char* function, int line, const char* format, ...) {
  // Each piece passes through one small stack buffer, so a long message is cut rather than spilled.
  char piece[128];
  static const char prefix[] = "[CRCrashReport] ";
  int saved_errno = errno;
  crcrash_async_write_all(STDERR_FILENO, prefix, sizeof prefix - 1);
  crcrash_async_write_all(STDERR_FILENO, function, async_c_length(function));
  {
    char number[32];
    // ":%d: " without a va_list: the line number is formatted directly.
    Output out{number, sizeof number, 0};
    out.put(':');
    put_number(out, static_cast<unsigned long long>(line < 0 ? -static_cast<long long>(line) : line), 10,
               false, line < 0, 0, false, false);
    out.put(':');
    out.put(' ');
    crcrash_async_write_all(STDERR_FILENO, number, out.length);
  }
  va_list args;
  va_start(args, format);
  std::size_t n = crcrash_async_format(piece, sizeof piece, format, args);
  va_end(args);
  crcrash_async_write_all(STDERR_FILENO, piece, n);
  crcrash_async_write_all(STDERR_FILENO, "\n", 1);
  errno = saved_errno;
}

// ---- Normal context only ----

char* crcrash_sysctl_string(const char* name) {
  for (;;) {
    std::size_t size = 0;
    if (pc::sysctlbyname(name, nullptr, &size) != 0) return nullptr;
    char* value = static_cast<char*>(std::malloc(size + 1));
    if (value == nullptr) return nullptr;
    std::size_t got = size;
    if (pc::sysctlbyname(name, value, &got) != 0) {
      int saved = errno;
      std::free(value);
      if (saved == ENOMEM) continue;
      errno = saved;
      return nullptr;
    }
    value[got < size ? got : size] = 0;
    return value;
  }
}

bool crcrash_sysctl_int(const char* name, int* out) {
  std::size_t size = sizeof(int);
  return pc::sysctlbyname(name, out, &size) == 0;
}

std::size_t crcrash_utf8_valid_prefix(const std::uint8_t* bytes, std::size_t length) {
  std::size_t i = 0;
  if (length >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) i = 3;
  while (i < length) {
    std::uint8_t lead = bytes[i];
    if (lead == 0) break;
    std::size_t extra;
    if (lead < 0x80) {
      extra = 0;
    } else if ((lead & 0xE0) == 0xC0) {
      extra = 1;
    } else if ((lead & 0xF0) == 0xE0) {
      extra = 2;
    } else if ((lead & 0xF8) == 0xF0) {
      extra = 3;
    } else {
      break;
    }
    if (length - i - 1 < extra) break;
    bool good = true;
    for (std::size_t k = 1; k <= extra; ++k) {
      if ((bytes[i + k] & 0xC0) != 0x80) {
        good = false;
        break;
      }
    }
    if (!good) break;
    i += extra + 1;
  }
  return i;
}

std::size_t crcrash_utf8_cstring_valid_prefix(const char* cstring) {
  return crcrash_utf8_valid_prefix(reinterpret_cast<const std::uint8_t*>(cstring), async_c_length(cstring));
}
