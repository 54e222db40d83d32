#pragma once
// Async-signal-safe primitives of the crash engine: error codes, byte order, reads of a task's memory,
// memory objects, the buffered report file, the debug log line and small string routines. Nothing here
// allocates or locks, apart from the normal-context routines at the end.

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "Platform/CRMach.h"

// Reads of mapped image and stack memory are checked against memory objects, not against a sanitizer's
// view of the heap: the bytes may be another thread's stack, an allocator's redzone or a sanitizer's own
// shadow. Functions that touch such memory directly are left uninstrumented.
#define CRCRASH_NO_SANITIZE_ADDRESS __attribute__((no_sanitize("address")))

using platform::crash::kern_return_t;
using platform::crash::mach_port_t;
using platform::crash::task_t;
using platform::crash::thread_t;

typedef std::uint32_t crcrash_error_t;
enum : crcrash_error_t {
  CRCRASH_ERR_NONE = 0,
  CRCRASH_ERR_UNKNOWN = 1,
  CRCRASH_ERR_OUTPUT = 2,
  CRCRASH_ERR_NOMEM = 3,
  CRCRASH_ERR_NOTSUP = 4,
  CRCRASH_ERR_INVAL = 5,
  CRCRASH_ERR_INTERNAL = 6,
  CRCRASH_ERR_ACCESS = 7,
  CRCRASH_ERR_NOTFOUND = 8,
  CRCRASH_ERR_BADDATA = 9,
};

const char* crcrash_async_strerror(crcrash_error_t error);

// ---- Byte order ----
struct crcrash_async_byteorder_t {
  std::uint16_t (*swap16)(std::uint16_t);
  std::uint32_t (*swap32)(std::uint32_t);
  std::uint64_t (*swap64)(std::uint64_t);
};
extern const crcrash_async_byteorder_t crcrash_async_byteorder_direct;
extern const crcrash_async_byteorder_t crcrash_async_byteorder_swapped;
const crcrash_async_byteorder_t* crcrash_async_byteorder_little_endian();
const crcrash_async_byteorder_t* crcrash_async_byteorder_big_endian();

// ---- Task memory ----
crcrash_error_t crcrash_async_task_memcpy(task_t task, std::uint64_t address, std::int64_t offset, void* dest,
                                          std::uint64_t length);
kern_return_t crcrash_async_task_vm_read(task_t task, std::uint64_t address, void* dest,
                                         std::uint64_t length);
crcrash_error_t crcrash_async_task_read_uint8(task_t task, std::uint64_t address, std::int64_t offset,
                                              std::uint8_t* dest);
crcrash_error_t crcrash_async_task_read_uint16(task_t task, const crcrash_async_byteorder_t* byteorder,
                                               std::uint64_t address, std::int64_t offset,
                                               std::uint16_t* dest);
crcrash_error_t crcrash_async_task_read_uint32(task_t task, const crcrash_async_byteorder_t* byteorder,
                                               std::uint64_t address, std::int64_t offset,
                                               std::uint32_t* dest);
crcrash_error_t crcrash_async_task_read_uint64(task_t task, const crcrash_async_byteorder_t* byteorder,
                                               std::uint64_t address, std::int64_t offset,
                                               std::uint64_t* dest);
bool crcrash_async_address_add_offset(std::uint64_t base, std::int64_t offset, std::uint64_t* result);
thread_t cr_mach_thread_self();

// ---- Memory objects ----
// A read-only window on a task's memory. Over the own task it is an identity window (slide 0) that
// ends at the first page the region table does not show as readable.
struct crcrash_async_mobject_t {
  task_t task;
  std::uint64_t local_address;
  std::uint64_t task_address;
  std::uint64_t length;
  std::uint64_t slide;
  std::uint64_t map_base;
  std::uint64_t map_length;
};

crcrash_error_t crcrash_async_mobject_init(crcrash_async_mobject_t* mobj, task_t task,
                                           std::uint64_t task_address, std::uint64_t length,
                                           bool require_full);
bool crcrash_async_mobject_verify_local_pointer(const crcrash_async_mobject_t* mobj,
                                                std::uint64_t local_address, std::int64_t offset,
                                                std::uint64_t length);
void* crcrash_async_mobject_remap_address(const crcrash_async_mobject_t* mobj, std::uint64_t task_address,
                                          std::int64_t offset, std::uint64_t length);
crcrash_error_t crcrash_async_mobject_read_uint8(const crcrash_async_mobject_t* mobj,
                                                 std::uint64_t task_address, std::int64_t offset,
                                                 std::uint8_t* dest);
crcrash_error_t crcrash_async_mobject_read_uint16(const crcrash_async_mobject_t* mobj,
                                                  const crcrash_async_byteorder_t* byteorder,
                                                  std::uint64_t task_address, std::int64_t offset,
                                                  std::uint16_t* dest);
crcrash_error_t crcrash_async_mobject_read_uint32(const crcrash_async_mobject_t* mobj,
                                                  const crcrash_async_byteorder_t* byteorder,
                                                  std::uint64_t task_address, std::int64_t offset,
                                                  std::uint32_t* dest);
crcrash_error_t crcrash_async_mobject_read_uint64(const crcrash_async_mobject_t* mobj,
                                                  const crcrash_async_byteorder_t* byteorder,
                                                  std::uint64_t task_address, std::int64_t offset,
                                                  std::uint64_t* dest);
std::uint64_t crcrash_async_mobject_base_address(const crcrash_async_mobject_t* mobj);
std::uint64_t crcrash_async_mobject_length(const crcrash_async_mobject_t* mobj);
task_t crcrash_async_mobject_task(const crcrash_async_mobject_t* mobj);
void crcrash_async_mobject_free(crcrash_async_mobject_t* mobj);

// ---- Buffered report file ----
struct crcrash_async_file_t {
  int fd;
  std::uint64_t limit;
  std::uint64_t total;
  std::uint64_t fill;
  char buffer[256];
  // Set by the first failed write-out; every later write, flush and close then reports failure, so a
  // report with a hole in it is never taken for a complete one.
  bool failed;
};

void crcrash_async_file_init(crcrash_async_file_t* file, int fd, std::uint64_t limit);
bool crcrash_async_file_write(crcrash_async_file_t* file, const void* data, std::uint64_t length);
bool crcrash_async_file_flush(crcrash_async_file_t* file);
bool crcrash_async_file_close(crcrash_async_file_t* file);
long long crcrash_async_write_all(int fd, const void* data, std::uint64_t length);

// ---- Strings and utilities ----
CRCRASH_NO_SANITIZE_ADDRESS int crcrash_async_strcmp(const char* a, const char* b);
CRCRASH_NO_SANITIZE_ADDRESS int crcrash_async_strncmp(const char* a, const char* b, std::size_t n);
CRCRASH_NO_SANITIZE_ADDRESS void* crcrash_async_memcpy(void* dest, const void* src, std::size_t n);
void* crcrash_async_memset(void* dest, int value, std::size_t n);
// A small printf-like formatter for log lines: %d %i %u %x %X %p %s %c %% with the length modifiers
// hh, h, l, ll, z, j, zero padding, a width and a precision for strings. Always NUL-terminates;
// returns the length written.
std::size_t crcrash_async_format(char* buffer, std::size_t size, const char* format, va_list args);
std::size_t crcrash_async_snprintf(char* buffer, std::size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
// The text for an errno value, without the locale machinery that strerror may call into.
const char* crcrash_async_errno_text(int error);

void crcrash_async_debug_log(const char* function, int line, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
#define CRCRASH_DEBUG(...) crcrash_async_debug_log(__func__, __LINE__, __VA_ARGS__)

// One byte of memory that a memory object has verified.
CRCRASH_NO_SANITIZE_ADDRESS char crcrash_async_peek(const char* p);

// ---- Normal context only ----
char* crcrash_sysctl_string(const char* name);
bool crcrash_sysctl_int(const char* name, int* out);
std::size_t crcrash_utf8_valid_prefix(const std::uint8_t* bytes, std::size_t length);
std::size_t crcrash_utf8_cstring_valid_prefix(const char* cstring);
