#include "crcrash_async_symbol.h"

#include <atomic>

namespace {

// Static rather than mapped per report: unmapping memory of a process with many threads costs a
// cross-processor flush, about as much as the lookups it saves.
constinit crcrash_async_symbol_memo_entry_t g_memo[CRCRASH_SYMBOL_MEMO_SLOTS]{};
std::atomic<bool> g_memo_claimed{false};
std::atomic<std::uint64_t> g_memo_generation{0};

// Appends bytes to a name of at most CRCRASH_SYMBOL_NAME_MAX bytes. Once a byte does not fit the name is
// cut, before the character that byte belongs to when it continues one.
struct NameBuilder {
  char* dest;
  std::size_t length = 0;
  bool cut = false;

  void append(const char* text, std::size_t n) {
    for (std::size_t i = 0; i < n && !cut; ++i) {
      const char c = crcrash_async_peek(text + i);
      if (length == CRCRASH_SYMBOL_NAME_MAX) {
        cut = true;
        char dropped = c;
        while (length > 0 && (static_cast<unsigned char>(dropped) & 0xC0) == 0x80) dropped = dest[--length];
        break;
      }
      dest[length++] = c;
    }
    dest[length] = 0;
  }
  void append(const char* text) {
    std::size_t n = 0;
    while (crcrash_async_peek(text + n) != 0) ++n;
    append(text, n);
  }
};

// The result of one lookup, on the stack.
struct SymbolResult {
  char name[CRCRASH_SYMBOL_NAME_MAX + 1];
  bool found;
  std::uint64_t address;
};

void symbol_table_candidate(std::uint64_t address, const char* name, void* ctx) {
  auto* result = static_cast<SymbolResult*>(ctx);
  if (result->found && result->address > address) return;
  crcrash_async_symbol_copy_name(result->name, CRCRASH_SYMBOL_NAME_MAX, name);
  result->address = address;
  result->found = true;
}

// Names a method "-[Class method]" (instance) or "+[Class method]" (class).
void objc_symbol_callback(bool is_meta, crcrash_async_macho_string_t* class_name,
                          crcrash_async_macho_string_t* method_name, std::uint64_t imp, void* ctx) {
  auto* result = static_cast<SymbolResult*>(ctx);
  if (result->found && result->address > imp) return;
  std::uint64_t class_length = 0, method_length = 0;
  const char* class_text = nullptr;
  const char* method_text = nullptr;
  crcrash_error_t err = crcrash_async_macho_string_get_length(class_name, &class_length);
  if (err != CRCRASH_ERR_NONE) {
    CRCRASH_DEBUG("crcrash_async_macho_string_get_length(className) error %d", err);
    return;
  }
  err = crcrash_async_macho_string_get_pointer(class_name, &class_text);
  if (err != CRCRASH_ERR_NONE) {
    CRCRASH_DEBUG("crcrash_async_macho_string_get_pointer(className) error %d", err);
    return;
  }
  err = crcrash_async_macho_string_get_length(method_name, &method_length);
  if (err != CRCRASH_ERR_NONE) {
    CRCRASH_DEBUG("crcrash_async_macho_string_get_length(methodName) error %d", err);
    return;
  }
  err = crcrash_async_macho_string_get_pointer(method_name, &method_text);
  if (err != CRCRASH_ERR_NONE) {
    CRCRASH_DEBUG("crcrash_async_macho_string_get_pointer(methodName) error %d", err);
    return;
  }
  NameBuilder name{result->name};
  name.append(is_meta ? "+[" : "-[", 2);
  name.append(class_text, class_length);
  name.append(" ", 1);
  name.append(method_text, method_length);
  name.append("]", 1);
  result->address = imp;
  result->found = true;
}

std::size_t memo_slot(std::uint64_t pc) {
  return static_cast<std::size_t>((pc * 0x9E3779B97F4A7C15ull) >> 55) % CRCRASH_SYMBOL_MEMO_SLOTS;
}

crcrash_error_t lookup(crcrash_async_macho_t* image, std::uint32_t strategy,
                       crcrash_async_symbol_cache_t* cache, std::uint64_t pc, SymbolResult* result) {
  result->found = false;
  result->address = 0;
  result->name[0] = 0;
  crcrash_error_t table_err = CRCRASH_ERR_NOTFOUND;
  crcrash_error_t objc_err = CRCRASH_ERR_NOTFOUND;
  if ((strategy & CRCRASH_SYMBOL_STRATEGY_SYMBOL_TABLE) != 0)
    table_err = crcrash_async_macho_find_symbol_by_pc(image, pc, symbol_table_candidate, result);
  if ((strategy & CRCRASH_SYMBOL_STRATEGY_OBJC) != 0 && cache != nullptr)
    objc_err = crcrash_async_objc_find_method(image, &cache->objc_cache, pc, objc_symbol_callback, result);
  if (table_err != CRCRASH_ERR_NONE && objc_err != CRCRASH_ERR_NONE) {
    CRCRASH_DEBUG("Could not find symbol for PC %llx image %p", static_cast<unsigned long long>(pc),
                  static_cast<void*>(image));
    CRCRASH_DEBUG("cr_async_macho_find_symbol error %d, cr_async_objc_find_method error %d", table_err,
                  objc_err);
    return table_err;
  }
  if (!result->found) {
    CRCRASH_DEBUG("Unexpected error occured in symbol lookup callbacks for PC %llximage %p; returning error",
                  static_cast<unsigned long long>(pc), static_cast<void*>(image));
    return CRCRASH_ERR_INTERNAL;
  }
  return CRCRASH_ERR_NONE;
}

}  // namespace

std::size_t crcrash_async_symbol_copy_name(char* dest, std::size_t limit, const char* name) {
  std::size_t n = 0;
  while (n < limit && crcrash_async_peek(name + n) != 0) {
    dest[n] = crcrash_async_peek(name + n);
    ++n;
  }
  // Cut inside a character: drop its leading bytes too.
  char dropped = crcrash_async_peek(name + n);
  if (dropped != 0) {
    while (n > 0 && (static_cast<unsigned char>(dropped) & 0xC0) == 0x80) dropped = dest[--n];
  }
  dest[n] = 0;
  return n;
}

crcrash_error_t crcrash_async_symbol_cache_init(crcrash_async_symbol_cache_t* cache) {
  crcrash_async_memset(cache, 0, sizeof *cache);
  crcrash_async_objc_cache_init(&cache->objc_cache);
  if (!g_memo_claimed.exchange(true, std::memory_order_acquire)) {
    cache->memo = g_memo;
    cache->memo_generation = g_memo_generation.fetch_add(1, std::memory_order_relaxed) + 1;
  }
  return CRCRASH_ERR_NONE;
}

void crcrash_async_symbol_cache_free(crcrash_async_symbol_cache_t* cache) {
  crcrash_async_objc_cache_free(&cache->objc_cache);
  if (cache->memo != nullptr) g_memo_claimed.store(false, std::memory_order_release);
  cache->memo = nullptr;
}

crcrash_error_t crcrash_async_find_symbol(crcrash_async_macho_t* image, std::uint32_t strategy,
                                          crcrash_async_symbol_cache_t* cache, std::uint64_t pc,
                                          crcrash_async_found_symbol_cb callback, void* ctx) {
  crcrash_async_symbol_memo_entry_t* memo =
      cache != nullptr && cache->memo != nullptr ? &cache->memo[memo_slot(pc)] : nullptr;
  if (memo != nullptr && memo->generation == cache->memo_generation && memo->image == image &&
      memo->pc == pc && memo->strategy == strategy) {
    if (memo->result == CRCRASH_ERR_NONE) callback(memo->address, memo->name, ctx);
    return memo->result;
  }
  SymbolResult result;
  crcrash_error_t err = lookup(image, strategy, cache, pc, &result);
  if (memo != nullptr) {
    memo->generation = cache->memo_generation;
    memo->pc = pc;
    memo->image = image;
    memo->strategy = strategy;
    memo->result = err;
    memo->address = result.address;
    crcrash_async_memcpy(memo->name, result.name, sizeof result.name);
  }
  if (err == CRCRASH_ERR_NONE) callback(result.address, result.name, ctx);
  return err;
}
