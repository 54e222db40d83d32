#pragma once
// Reader of the compact unwind format (__TEXT,__unwind_info of a Mach-O image): the two-level lookup of
// a function's 32-bit encoding, its decoding into an entry, and the entry's application to registers.

#include <cstdint>

#include "crcrash_async_thread_state.h"

typedef std::uint32_t crcrash_async_cfe_type_t;
enum : crcrash_async_cfe_type_t {
  CRCRASH_ASYNC_CFE_TYPE_FRAME_PTR = 1,
  CRCRASH_ASYNC_CFE_TYPE_FRAMELESS_IMMD = 2,
  CRCRASH_ASYNC_CFE_TYPE_FRAMELESS_INDIRECT = 3,
  CRCRASH_ASYNC_CFE_TYPE_DWARF = 4,
  CRCRASH_ASYNC_CFE_TYPE_NONE = 5,
};

inline constexpr std::uint32_t CRCRASH_ASYNC_CFE_SAVED_REGISTER_MAX = 10;
inline constexpr std::uint32_t CRCRASH_ASYNC_CFE_NO_REGISTER = 0xFFFFFFFF;
inline constexpr platform::crash::cpu_type_t CRCRASH_CPU_TYPE_ARM64 = 0x100000C;

struct crcrash_async_cfe_reader_t {
  const crcrash_async_mobject_t* mobj;
  platform::crash::cpu_type_t cpu_type;
  const crcrash_async_byteorder_t* byteorder;
  struct {
    std::uint32_t version;
    std::uint32_t common_encodings_offset;
    std::uint32_t common_encodings_count;
    std::uint32_t personality_offset;
    std::uint32_t personality_count;
    std::uint32_t index_offset;
    std::uint32_t index_count;
  } header;
};

struct crcrash_async_cfe_entry_t {
  crcrash_async_cfe_type_t type;
  platform::crash::cpu_type_t cpu_type;
  std::int64_t stack_offset;
  std::uint32_t stack_adjust;
  std::uint32_t return_address_register;
  std::uint32_t register_count;
  std::uint32_t register_list[CRCRASH_ASYNC_CFE_SAVED_REGISTER_MAX];
};

crcrash_error_t crcrash_async_cfe_reader_init(crcrash_async_cfe_reader_t* reader,
                                              const crcrash_async_mobject_t* mobj,
                                              platform::crash::cpu_type_t cpu_type);
void crcrash_async_cfe_reader_free(crcrash_async_cfe_reader_t* reader);
// `pc` is relative to the image's header address.
crcrash_error_t crcrash_async_cfe_reader_find_pc(crcrash_async_cfe_reader_t* reader, std::uint64_t pc,
                                                 std::uint64_t* function_base, std::uint32_t* encoding);

crcrash_error_t crcrash_async_cfe_entry_init(crcrash_async_cfe_entry_t* entry,
                                             platform::crash::cpu_type_t cpu_type, std::uint32_t encoding);
void crcrash_async_cfe_entry_free(crcrash_async_cfe_entry_t* entry);
crcrash_error_t crcrash_async_cfe_entry_apply(task_t task, std::uint64_t function_address,
                                              const crcrash_async_thread_state_t* thread_state,
                                              const crcrash_async_cfe_entry_t* entry,
                                              crcrash_async_thread_state_t* new_thread_state);

crcrash_async_cfe_type_t crcrash_async_cfe_entry_type(const crcrash_async_cfe_entry_t* entry);
std::int64_t crcrash_async_cfe_entry_stack_offset(const crcrash_async_cfe_entry_t* entry);
std::uint32_t crcrash_async_cfe_entry_stack_adjust(const crcrash_async_cfe_entry_t* entry);
std::uint32_t crcrash_async_cfe_entry_return_address_register(const crcrash_async_cfe_entry_t* entry);
std::uint32_t crcrash_async_cfe_entry_register_count(const crcrash_async_cfe_entry_t* entry);
void crcrash_async_cfe_entry_register_list(const crcrash_async_cfe_entry_t* entry,
                                           std::uint32_t* register_list);

// The compact format's 10-bit encoding of up to 6 distinct saved registers numbered 1..6.
std::uint32_t crcrash_async_cfe_register_encode(const std::uint32_t registers[], std::uint32_t count);
crcrash_error_t crcrash_async_cfe_register_decode(std::uint32_t permutation, std::uint32_t count,
                                                  std::uint32_t registers[]);
