#pragma once
// Symbolication at crash time: the name and start address of the function that holds a pc, from the
// image's symbol table and from its Objective-C method lists, without heap allocation.

#include <cstdint>

#include "crcrash_async.h"
#include "crcrash_async_macho.h"
#include "crcrash_async_objc.h"

inline constexpr std::uint32_t CRCRASH_SYMBOL_STRATEGY_NONE = 0;
inline constexpr std::uint32_t CRCRASH_SYMBOL_STRATEGY_SYMBOL_TABLE = 1 << 0;
inline constexpr std::uint32_t CRCRASH_SYMBOL_STRATEGY_OBJC = 1 << 1;

// Longest symbol name kept, in bytes, without its terminating NUL.
inline constexpr std::size_t CRCRASH_SYMBOL_NAME_MAX = 255;

// One remembered lookup: a report looks each frame up several times (its size pass and its write), and
// the threads of a process share most of their frames.
struct crcrash_async_symbol_memo_entry_t {
  std::uint64_t generation;
  std::uint64_t pc;
  const crcrash_async_macho_t* image;
  std::uint32_t strategy;
  crcrash_error_t result;
  std::uint64_t address;
  char name[CRCRASH_SYMBOL_NAME_MAX + 1];
};
inline constexpr std::size_t CRCRASH_SYMBOL_MEMO_SLOTS = 512;

// The symbol find context: made once per report and handed to every lookup.
struct crcrash_async_symbol_cache_t {
  crcrash_async_objc_cache_t objc_cache;
  // The process's one table of CRCRASH_SYMBOL_MEMO_SLOTS remembered lookups, claimed by this context for
  // its life; null when another context holds it (lookups then simply repeat). Entries of earlier
  // contexts carry an older generation and are not used.
  crcrash_async_symbol_memo_entry_t* memo;
  std::uint64_t memo_generation;
};

crcrash_error_t crcrash_async_symbol_cache_init(crcrash_async_symbol_cache_t* cache);
void crcrash_async_symbol_cache_free(crcrash_async_symbol_cache_t* cache);

typedef void (*crcrash_async_found_symbol_cb)(std::uint64_t address, const char* name, void* ctx);

// The symbol for `pc` inside `image` by the strategy's bits (1 symbol table, 2 Objective-C metadata; the
// candidate with the higher start address wins, an Objective-C method on a tie): calls back once with the
// start address and a name of at most 255 bytes, and returns 0; else an error (8: nothing found). `cache`
// may be null (no Objective-C lookup, nothing remembered).
crcrash_error_t crcrash_async_find_symbol(crcrash_async_macho_t* image, std::uint32_t strategy,
                                          crcrash_async_symbol_cache_t* cache, std::uint64_t pc,
                                          crcrash_async_found_symbol_cb callback, void* ctx);

// Copies at most `limit` bytes of a NUL-terminated name into `dest` (which holds limit + 1), cutting
// before a partial UTF-8 character; returns the length copied.
std::size_t crcrash_async_symbol_copy_name(char* dest, std::size_t limit, const char* name);
