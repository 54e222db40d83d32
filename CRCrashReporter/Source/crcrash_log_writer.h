#pragma once
// The crash report writer: prepared in normal context when capture is armed, run at crash time (or for a
// live report) with every other thread stopped. It packs the report's protobuf fields by hand straight into
// the buffered file, without allocating.

#include <cstdint>

#include "crcrash_async.h"
#include "crcrash_async_image_list.h"
#include "crcrash_async_symbol.h"
#include "crcrash_async_thread_state.h"

// protobuf-c type ids the packer understands.
enum crcrash_pack_type_t : int {
  CRCRASH_PACK_INT32 = 0,
  CRCRASH_PACK_SINT32 = 1,
  CRCRASH_PACK_SFIXED32 = 2,
  CRCRASH_PACK_INT64 = 3,
  CRCRASH_PACK_SINT64 = 4,
  CRCRASH_PACK_SFIXED64 = 5,
  CRCRASH_PACK_UINT32 = 6,
  CRCRASH_PACK_FIXED32 = 7,
  CRCRASH_PACK_UINT64 = 8,
  CRCRASH_PACK_FIXED64 = 9,
  CRCRASH_PACK_FLOAT = 10,
  CRCRASH_PACK_DOUBLE = 11,
  CRCRASH_PACK_BOOL = 12,
  CRCRASH_PACK_ENUM = 13,
  CRCRASH_PACK_STRING = 14,
  CRCRASH_PACK_BYTES = 15,
  CRCRASH_PACK_MESSAGE = 16,
};

// The value of a bytes field.
struct crcrash_pack_bytes_t {
  std::uint64_t length;
  const void* data;
};

// The largest report file.
inline constexpr std::uint64_t CRCRASH_REPORT_FILE_LIMIT = 262144;
// Frames written per stack and per exception.
inline constexpr std::uint32_t CRCRASH_MAX_FRAMES = 512;
// Mach exception codes written at most (the reader refuses a report with more).
inline constexpr std::uint32_t CRCRASH_MAX_MACH_CODES = 255;

struct crcrash_log_bsd_signal_info_t {
  int signo;
  int code;
  void* address;
};

struct crcrash_log_mach_signal_info_t {
  std::uint64_t type;
  const std::uint64_t* codes;
  std::uint32_t code_count;
};

struct crcrash_log_signal_info_t {
  const crcrash_log_bsd_signal_info_t* bsd_info;
  const crcrash_log_mach_signal_info_t* mach_info;
};

struct crcrash_log_writer_t {
  std::uint32_t symbol_strategy;
  bool user_requested;
  std::uint8_t report_uuid[16];
  struct {
    char* os_version;
    char* os_build;
  } system_info;
  struct {
    char* model;
    std::uint64_t cpu_type;
    std::uint64_t cpu_subtype;
    std::uint32_t processor_count;
    std::uint32_t logical_processor_count;
  } machine_info;
  struct {
    char* identifier;
    char* version;
    char* marketing_version;
  } application_info;
  struct {
    char* process_name;
    std::uint32_t process_id;
    char* process_path;
    std::int64_t start_time;
    char* parent_process_name;
    std::uint32_t parent_process_id;
    bool native;
  } process_info;
  struct {
    bool has_exception;
    char* name;
    char* reason;
    std::uint64_t callstack_count;
    std::uint64_t* callstack;
  } uncaught_exception;
};

crcrash_error_t crcrash_log_writer_init(crcrash_log_writer_t* writer, const char* app_identifier,
                                        const char* app_version, const char* app_marketing_version,
                                        std::uint32_t symbol_strategy, bool user_requested);
void crcrash_log_writer_set_exception(crcrash_log_writer_t* writer, const char* name, const char* reason,
                                      const std::uint64_t* return_addresses, std::uint64_t count);
crcrash_error_t crcrash_log_writer_write(crcrash_log_writer_t* writer, thread_t crashed_thread,
                                         crcrash_async_image_list_t* image_list, crcrash_async_file_t* file,
                                         const crcrash_log_signal_info_t* signal_info,
                                         const crcrash_async_thread_state_t* current_state);
crcrash_error_t crcrash_log_writer_close(crcrash_log_writer_t* writer);
void crcrash_log_writer_free(crcrash_log_writer_t* writer);

std::size_t crcrash_writer_pack(crcrash_async_file_t* file, std::uint32_t field_id, crcrash_pack_type_t type,
                                const void* value);

const char* crcrash_async_signal_signame(int signo);
const char* crcrash_async_signal_sigcode(int signo, int code);

// Maps a Linux signal and si_code onto the Darwin numbering the name tables use. `trapno` is the trap
// number of the machine context (3 for int3), used for SIGTRAP with SI_KERNEL.
void crcrash_async_signal_from_linux(int linux_signo, int linux_code, int trapno, int* signo, int* code);
// The fault address of a Linux signal: si_addr, or null for a signal sent by a process (si_code <= 0),
// whose si_addr holds the sender's pid and uid instead.
void* crcrash_async_signal_address(int linux_code, void* fault_address);
