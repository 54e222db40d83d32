#include "crcrash_async_objc.h"

#include <sys/mman.h>

#include <cerrno>

#include "Platform/CRMach.h"

namespace pc = platform::crash;

const std::uint64_t crcrash_async_objc_class_data_mask = 0x1FFFFFFF8ull;

namespace {

constexpr pc::cpu_type_t kCpuTypeArm64 = 0x0100000C;
// Flags of a class's read-write data.
constexpr std::uint32_t kRwRealized = 1u << 31;
constexpr std::uint32_t kRwCopiedRo = 1u << 27;
// Legacy class info: methodLists is one list rather than an array of lists.
constexpr std::uint32_t kClsNoMethodArray = 0x4000;
// Bounds on legacy lists, whose lengths nothing else checks.
constexpr std::uint32_t kLegacyListLimit = 1u << 16;

// Sizes and offsets of the Objective-C 2 records for one pointer width.
struct Layout {
  bool m64;
  std::uint64_t ptr;         // pointer size
  std::uint64_t class_size;  // isa, superclass, cache, vtable, data
  std::uint64_t ro_size;     // class_ro
  std::uint64_t ro_name;     // offset of name in class_ro
  std::uint64_t ro_methods;  // offset of baseMethods in class_ro
  std::uint64_t rw_head;     // flags, version, ro
  std::uint64_t category_size;
};

constexpr Layout kLayout64{true, 8, 40, 72, 24, 32, 16, 48};
constexpr Layout kLayout32{false, 4, 20, 40, 16, 20, 12, 24};

const Layout& layout_of(const crcrash_async_macho_t* image) { return image->m64 ? kLayout64 : kLayout32; }

// A pointer-sized word at `local` (memory a memory object verified), in the image's byte order.
std::uint64_t word_at(const crcrash_async_macho_t* image, const void* local, std::uint64_t offset) {
  const char* at = static_cast<const char*>(local) + offset;
  if (image->m64) {
    std::uint64_t v;
    crcrash_async_memcpy(&v, at, 8);
    return image->byteorder->swap64(v);
  }
  std::uint32_t v;
  crcrash_async_memcpy(&v, at, 4);
  return image->byteorder->swap32(v);
}

std::uint32_t u32_at(const crcrash_async_macho_t* image, const void* local, std::uint64_t offset) {
  std::uint32_t v;
  crcrash_async_memcpy(&v, static_cast<const char*>(local) + offset, 4);
  return image->byteorder->swap32(v);
}

std::uint16_t u16_at(const crcrash_async_macho_t* image, const void* local, std::uint64_t offset) {
  std::uint16_t v;
  crcrash_async_memcpy(&v, static_cast<const char*>(local) + offset, 2);
  return image->byteorder->swap16(v);
}

bool in_mobject(const crcrash_async_mobject_t* mobj, std::uint64_t address, std::uint64_t length) {
  return crcrash_async_mobject_remap_address(mobj, address, 0, length) != nullptr;
}

// ---- Legacy runtime (32-bit module records) ----

crcrash_error_t legacy_method_list(crcrash_async_macho_t* image, std::uint64_t list, bool is_meta,
                                   crcrash_async_macho_string_t* class_name,
                                   crcrash_async_objc_found_method_cb callback, void* ctx) {
  std::uint8_t header[8];
  crcrash_error_t err = crcrash_async_task_memcpy(image->task, list, 0, header, sizeof header);
  if (err != CRCRASH_ERR_NONE) {
    CRCRASH_DEBUG("crcrash_async_task_memcpy at 0x%llx error %d", static_cast<unsigned long long>(list), err);
    return err;
  }
  const std::uint32_t count = u32_at(image, header, 4);
  if (count > kLegacyListLimit) return CRCRASH_ERR_BADDATA;
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint8_t method[12];
    const std::uint64_t at = list + 8 + static_cast<std::uint64_t>(i) * 12;
    err = crcrash_async_task_memcpy(image->task, at, 0, method, sizeof method);
    if (err != CRCRASH_ERR_NONE) {
      CRCRASH_DEBUG("crcrash_async_task_memcpy at 0x%llx error %d", static_cast<unsigned long long>(at), err);
      return err;
    }
    crcrash_async_macho_string_t method_name;
    err = crcrash_async_macho_string_init(&method_name, image, u32_at(image, method, 0));
    if (err != CRCRASH_ERR_NONE) {
      CRCRASH_DEBUG("crcrash_async_macho_string_init at 0x%llx error %d",
                    static_cast<unsigned long long>(u32_at(image, method, 0)), err);
      return err;
    }
    callback(is_meta, class_name, &method_name, u32_at(image, method, 8), ctx);
    crcrash_async_macho_string_free(&method_name);
  }
  return CRCRASH_ERR_NONE;
}

// One legacy class record (isa, super_class, name, version, info, instance_size, ivars, methodLists,
// cache, protocols; 4 bytes each).
crcrash_error_t legacy_class(crcrash_async_macho_t* image, const std::uint8_t* cls, bool is_meta,
                             crcrash_async_objc_found_method_cb callback, void* ctx) {
  const std::uint32_t name_addr = u32_at(image, cls, 8);
  crcrash_async_macho_string_t class_name;
  crcrash_error_t err = crcrash_async_macho_string_init(&class_name, image, name_addr);
  if (err != CRCRASH_ERR_NONE) {
    CRCRASH_DEBUG("crcrash_async_macho_string_init at 0x%llx error %d",
                  static_cast<unsigned long long>(name_addr), err);
    return err;
  }
  const std::uint32_t info = u32_at(image, cls, 16);
  const std::uint32_t method_lists = u32_at(image, cls, 28);
  if (method_lists == 0) {
    // A class without methods.
  } else if ((info & kClsNoMethodArray) != 0) {
    err = legacy_method_list(image, method_lists, is_meta, &class_name, callback, ctx);
  } else {
    for (std::uint32_t i = 0; err == CRCRASH_ERR_NONE; ++i) {
      if (i == kLegacyListLimit) {
        err = CRCRASH_ERR_BADDATA;
        break;
      }
      std::uint32_t list = 0;
      const std::uint64_t at = method_lists + static_cast<std::uint64_t>(i) * 4;
      err = crcrash_async_task_read_uint32(image->task, image->byteorder, at, 0, &list);
      if (err != CRCRASH_ERR_NONE) {
        CRCRASH_DEBUG("crcrash_async_task_memcpy at 0x%llx error %d", static_cast<unsigned long long>(at),
                      err);
        break;
      }
      if (list == 0 || list == 0xFFFFFFFF) break;
      err = legacy_method_list(image, list, is_meta, &class_name, callback, ctx);
    }
  }
  crcrash_async_macho_string_free(&class_name);
  return err;
}

crcrash_error_t legacy_parse(crcrash_async_macho_t* image, crcrash_async_mobject_t* module_info,
                             crcrash_async_objc_found_method_cb callback, void* ctx) {
  const std::uint64_t length = crcrash_async_mobject_length(module_info);
  const std::uint64_t base = crcrash_async_mobject_base_address(module_info);
  const std::uint64_t count = length / 16;
  const auto* modules = count == 0 ? nullptr
                                   : static_cast<const std::uint8_t*>(crcrash_async_mobject_remap_address(
                                         module_info, base, 0, count * 16));
  if (modules == nullptr) {
    CRCRASH_DEBUG("Failed to obtain pointer from %s memory object", "__module_info");
    return CRCRASH_ERR_NOTFOUND;
  }
  for (std::uint64_t m = 0; m < count; ++m) {
    const std::uint32_t symtab = u32_at(image, modules, m * 16 + 12);
    if (symtab == 0) continue;
    std::uint8_t header[12];
    crcrash_error_t err = crcrash_async_task_memcpy(image->task, symtab, 0, header, sizeof header);
    if (err != CRCRASH_ERR_NONE) {
      CRCRASH_DEBUG("crcrash_async_task_memcpy at 0x%llx error %d", static_cast<unsigned long long>(symtab),
                    err);
      return err;
    }
    const std::uint16_t class_count = u16_at(image, header, 8);
    for (std::uint16_t i = 0; i < class_count; ++i) {
      std::uint32_t class_addr = 0;
      const std::uint64_t at = symtab + 12 + static_cast<std::uint64_t>(i) * 4;
      err = crcrash_async_task_read_uint32(image->task, image->byteorder, at, 0, &class_addr);
      std::uint8_t cls[40];
      if (err == CRCRASH_ERR_NONE)
        err = crcrash_async_task_memcpy(image->task, class_addr, 0, cls, sizeof cls);
      if (err != CRCRASH_ERR_NONE) {
        CRCRASH_DEBUG("crcrash_async_task_memcpy at 0x%llx error %d", static_cast<unsigned long long>(at),
                      err);
        return err;
      }
      err = legacy_class(image, cls, false, callback, ctx);
      if (err != CRCRASH_ERR_NONE) {
        CRCRASH_DEBUG("cr_async_parse_obj1_class error %d while parsing class", err);
        return err;
      }
      const std::uint32_t isa = u32_at(image, cls, 0);
      err = crcrash_async_task_memcpy(image->task, isa, 0, cls, sizeof cls);
      if (err != CRCRASH_ERR_NONE) {
        CRCRASH_DEBUG("crcrash_async_task_memcpy at 0x%llx error %d", static_cast<unsigned long long>(isa),
                      err);
        return err;
      }
      err = legacy_class(image, cls, true, callback, ctx);
      if (err != CRCRASH_ERR_NONE) {
        CRCRASH_DEBUG("cr_async_parse_obj1_class error %d while parsing metaclass", err);
        return err;
      }
    }
  }
  return CRCRASH_ERR_NONE;
}

// ---- Objective-C 2 ----

void release_sections(crcrash_async_objc_cache_t* cache) {
  struct Section {
    bool* mapped;
    crcrash_async_mobject_t* mobj;
  } sections[] = {{&cache->objc_const_mapped, &cache->objc_const},
                  {&cache->classlist_mapped, &cache->classlist},
                  {&cache->catlist_mapped, &cache->catlist},
                  {&cache->objc_data_mapped, &cache->objc_data}};
  for (const Section& s : sections) {
    if (*s.mapped) crcrash_async_mobject_free(s.mobj);
    *s.mapped = false;
  }
  cache->last_image = nullptr;
}

crcrash_error_t map_sections(crcrash_async_macho_t* image, crcrash_async_objc_cache_t* cache) {
  if (cache->last_image == image) return CRCRASH_ERR_NONE;
  release_sections(cache);
  struct Section {
    const char* name;
    bool* mapped;
    crcrash_async_mobject_t* mobj;
  } sections[] = {{"__objc_const", &cache->objc_const_mapped, &cache->objc_const},
                  {"__objc_classlist", &cache->classlist_mapped, &cache->classlist},
                  {"__objc_catlist", &cache->catlist_mapped, &cache->catlist},
                  {"__objc_data", &cache->objc_data_mapped, &cache->objc_data}};
  bool first = true;
  for (const Section& s : sections) {
    crcrash_error_t err = crcrash_async_macho_map_section(image, "__DATA", s.name, s.mobj);
    // An image whose classes have no categories has no category list; that is an empty list.
    if (err == CRCRASH_ERR_NOTFOUND && s.mobj == &cache->catlist) {
      first = false;
      continue;
    }
    if (err == CRCRASH_ERR_NOTFOUND) return err;
    if (err != CRCRASH_ERR_NONE) {
      if (first) {
        CRCRASH_DEBUG("cr_async_macho_map_section(%p, %s, %s, %p) failure %d", static_cast<void*>(image),
                      "__DATA", s.name, static_cast<void*>(s.mobj), err);
      } else {
        CRCRASH_DEBUG("cr_async_macho_map_section(%s, %s, %s, %p) failure %d", image->name, "__DATA", s.name,
                      static_cast<void*>(s.mobj), err);
      }
      return err;
    }
    *s.mapped = true;
    first = false;
  }
  cache->last_image = image;
  return CRCRASH_ERR_NONE;
}

std::uint64_t cache_slot(std::uint64_t data) { return (data / 4) % CRCRASH_OBJC_CLASS_CACHE_SLOTS; }

std::uint64_t class_cache_find(const crcrash_async_objc_cache_t* cache, std::uint64_t data) {
  if (cache->class_cache_size == 0) return 0;
  const std::uint64_t slot = cache_slot(data);
  return cache->class_cache_keys[slot] == data ? cache->class_cache_values[slot] : 0;
}

void class_cache_store(crcrash_async_objc_cache_t* cache, std::uint64_t data, std::uint64_t ro) {
  if (cache->class_cache_size == 0) {
    if (cache->class_cache_failed) return;
    void* memory = mmap(nullptr, CRCRASH_OBJC_CLASS_CACHE_BYTES, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) {
      CRCRASH_DEBUG(
          "vm_allocate failed with error %x, the class cache could not be initialized and ObjC parsing will "
          "be "
          "substantially slower",
          static_cast<unsigned>(errno));
      cache->class_cache_failed = true;
      return;
    }
    cache->class_cache_keys = static_cast<std::uint64_t*>(memory);
    cache->class_cache_values = cache->class_cache_keys + CRCRASH_OBJC_CLASS_CACHE_SLOTS;
    cache->class_cache_size = CRCRASH_OBJC_CLASS_CACHE_SLOTS;
  }
  const std::uint64_t slot = cache_slot(data);
  if (cache->class_cache_keys[slot] != 0) return;  // entries are never replaced
  cache->class_cache_keys[slot] = data;
  cache->class_cache_values[slot] = ro;
}

// The class_ro of a class record (`cls`, verified local memory) into `ro`. 8 when the class was never
// realized.
crcrash_error_t read_class_ro(crcrash_async_macho_t* image, crcrash_async_objc_cache_t* cache,
                              const void* cls, std::uint8_t* ro) {
  const Layout& l = layout_of(image);
  const std::uint64_t data = word_at(image, cls, 4 * l.ptr) & ~3ull;
  std::uint64_t ro_addr = class_cache_find(cache, data);
  if (ro_addr != 0) {
    const void* local = crcrash_async_mobject_remap_address(&cache->objc_const, ro_addr, 0, l.ro_size);
    if (local != nullptr) {
      crcrash_async_memcpy(ro, local, l.ro_size);
      return CRCRASH_ERR_NONE;
    }
    crcrash_error_t err = crcrash_async_task_memcpy(image->task, ro_addr, 0, ro, l.ro_size);
    if (err != CRCRASH_ERR_NONE)
      CRCRASH_DEBUG("Failed to read validated class_ro data at 0x%llx",
                    static_cast<unsigned long long>(ro_addr));
    return err;
  }
  std::uint8_t head[16];
  crcrash_error_t err = crcrash_async_task_memcpy(image->task, data, 0, head, l.rw_head);
  if (err != CRCRASH_ERR_NONE) {
    CRCRASH_DEBUG("crcrash_async_task_memcpy at 0x%llx error %d", static_cast<unsigned long long>(data), err);
    return err;
  }
  const std::uint32_t flags = u32_at(image, head, 0);
  if ((flags & kRwRealized) == 0) return CRCRASH_ERR_NOTFOUND;
  ro_addr = word_at(image, head, 8);
  const bool in_image =
      crcrash_async_macho_contains_address(image, ro_addr) || in_mobject(&cache->objc_const, ro_addr, 1);
  if ((flags & kRwCopiedRo) == 0 && in_image) {
    const void* local = crcrash_async_mobject_remap_address(&cache->objc_const, ro_addr, 0, l.ro_size);
    if (local == nullptr) {
      CRCRASH_DEBUG("crcrash_async_mobject_remap_address at 0x%llx returned NULL",
                    static_cast<unsigned long long>(ro_addr));
      return CRCRASH_ERR_BADDATA;
    }
    crcrash_async_memcpy(ro, local, l.ro_size);
  } else {
    err = crcrash_async_task_memcpy(image->task, ro_addr, 0, ro, l.ro_size);
    if (err != CRCRASH_ERR_NONE) {
      CRCRASH_DEBUG("crcrash_async_task_memcpy at 0x%llx returned NULL",
                    static_cast<unsigned long long>(ro_addr));
      return err;
    }
  }
  class_cache_store(cache, data, ro_addr);
  return CRCRASH_ERR_NONE;
}

crcrash_error_t method_list(crcrash_async_macho_t* image, crcrash_async_objc_cache_t* cache,
                            std::uint64_t list, bool is_meta, crcrash_async_macho_string_t* class_name,
                            crcrash_async_objc_found_method_cb callback, void* ctx) {
  const Layout& l = layout_of(image);
  const void* header = crcrash_async_mobject_remap_address(&cache->objc_const, list, 0, 8);
  if (header == nullptr) {
    CRCRASH_DEBUG("crcrash_async_mobject_remap_address in objCConstMobj failed to map methods pointer 0x%llx",
                  static_cast<unsigned long long>(list));
    return CRCRASH_ERR_BADDATA;
  }
  const std::uint64_t entry_size = u32_at(image, header, 0) & ~3u;
  const std::uint64_t count = u32_at(image, header, 4);
  const std::uint64_t total = count * entry_size;  // both below 2^32: no overflow
  const void* entries = crcrash_async_mobject_remap_address(&cache->objc_const, list, 8, total);
  if (entries == nullptr || (count > 0 && entry_size < 3 * l.ptr)) {
    CRCRASH_DEBUG("crcrash_async_mobject_remap_address at 0x%llx length %llu returned NULL",
                  static_cast<unsigned long long>(list + 8), static_cast<unsigned long long>(total));
    return CRCRASH_ERR_BADDATA;
  }
  for (std::uint64_t i = 0; i < count; ++i) {
    const char* entry = static_cast<const char*>(entries) + i * entry_size;
    const std::uint64_t name_addr = word_at(image, entry, 0);
    crcrash_async_macho_string_t method_name;
    crcrash_error_t err = crcrash_async_macho_string_init(&method_name, image, name_addr);
    if (err != CRCRASH_ERR_NONE) {
      CRCRASH_DEBUG("crcrash_async_macho_string_init at 0x%llx error %d",
                    static_cast<unsigned long long>(name_addr), err);
      return err;
    }
    callback(is_meta, class_name, &method_name, word_at(image, entry, 2 * l.ptr), ctx);
    crcrash_async_macho_string_free(&method_name);
  }
  return CRCRASH_ERR_NONE;
}

// A class or metaclass record: its name and its base methods.
crcrash_error_t objc2_class(crcrash_async_macho_t* image, crcrash_async_objc_cache_t* cache, const void* cls,
                            bool is_meta, crcrash_async_objc_found_method_cb callback, void* ctx) {
  const Layout& l = layout_of(image);
  std::uint8_t ro[72];
  crcrash_error_t err = read_class_ro(image, cache, cls, ro);
  if (err != CRCRASH_ERR_NONE) return err;
  const std::uint64_t name_addr = word_at(image, ro, l.ro_name);
  crcrash_async_macho_string_t class_name;
  err = crcrash_async_macho_string_init(&class_name, image, name_addr);
  if (err != CRCRASH_ERR_NONE) {
    CRCRASH_DEBUG("crcrash_async_macho_string_init at 0x%llx error %d",
                  static_cast<unsigned long long>(name_addr), err);
    return err;
  }
  const std::uint64_t methods = word_at(image, ro, l.ro_methods);
  if (methods != 0) err = method_list(image, cache, methods, is_meta, &class_name, callback, ctx);
  crcrash_async_macho_string_free(&class_name);
  return err;
}

crcrash_error_t objc2_parse(crcrash_async_macho_t* image, crcrash_async_objc_cache_t* cache,
                            crcrash_async_objc_found_method_cb callback, void* ctx) {
  const Layout& l = layout_of(image);
  bool any_realized = false;

  const std::uint64_t class_count = crcrash_async_mobject_length(&cache->classlist) / l.ptr;
  const std::uint64_t classlist_base = crcrash_async_mobject_base_address(&cache->classlist);
  const void* classes =
      crcrash_async_mobject_remap_address(&cache->classlist, classlist_base, 0, class_count * l.ptr);
  if (classes == nullptr) {
    CRCRASH_DEBUG("crcrash_async_mobject_remap_address in objcConstMobj for pointer %llx returned NULL",
                  static_cast<unsigned long long>(classlist_base));
    return CRCRASH_ERR_BADDATA;
  }
  for (std::uint64_t i = 0; i < class_count; ++i) {
    const std::uint64_t class_addr = word_at(image, classes, i * l.ptr);
    const void* cls = crcrash_async_mobject_remap_address(&cache->objc_data, class_addr, 0, l.class_size);
    if (cls == nullptr) {
      CRCRASH_DEBUG("crcrash_async_mobject_remap_address in objcDataMobj for pointer %llx returned NULL",
                    static_cast<unsigned long long>(class_addr));
      return CRCRASH_ERR_BADDATA;
    }
    crcrash_error_t err = objc2_class(image, cache, cls, false, callback, ctx);
    if (err == CRCRASH_ERR_NOTFOUND) continue;  // never realized: no methods to name
    if (err != CRCRASH_ERR_NONE) {
      CRCRASH_DEBUG("cr_async_objc_parse_objc2_class error %d while parsing class", err);
      return err;
    }
    any_realized = true;
    std::uint64_t isa = word_at(image, cls, 0);
    if (crcrash_async_macho_cpu_type(image) == kCpuTypeArm64 && (isa & 1) != 0)
      isa &= crcrash_async_objc_class_data_mask;
    const void* meta = crcrash_async_mobject_remap_address(&cache->objc_data, isa, 0, l.class_size);
    if (meta == nullptr) {
      CRCRASH_DEBUG("crcrash_async_mobject_remap_address in objcDataMobj for pointer %llx returned NULL",
                    static_cast<unsigned long long>(isa));
      return CRCRASH_ERR_BADDATA;
    }
    err = objc2_class(image, cache, meta, true, callback, ctx);
    if (err != CRCRASH_ERR_NONE) {
      CRCRASH_DEBUG("cr_async_objc_parse_objc2_class error %d while parsing metaclass", err);
      return err;
    }
  }

  if (cache->catlist_mapped) {
    const std::uint64_t cat_count = crcrash_async_mobject_length(&cache->catlist) / l.ptr;
    const std::uint64_t catlist_base = crcrash_async_mobject_base_address(&cache->catlist);
    const void* categories =
        crcrash_async_mobject_remap_address(&cache->catlist, catlist_base, 0, cat_count * l.ptr);
    if (categories == nullptr) {
      CRCRASH_DEBUG("crcrash_async_mobject_remap_address in catMobj for pointer %llx returned NULL",
                    static_cast<unsigned long long>(catlist_base));
      return CRCRASH_ERR_BADDATA;
    }
    for (std::uint64_t i = 0; i < cat_count; ++i) {
      const std::uint64_t cat_addr = word_at(image, categories, i * l.ptr);
      const void* category =
          crcrash_async_mobject_remap_address(&cache->objc_const, cat_addr, 0, l.category_size);
      if (category == nullptr) {
        CRCRASH_DEBUG("crcrash_async_mobject_remap_address in objcDataMobj for pointer %llx returned NULL",
                      static_cast<unsigned long long>(cat_addr));
        return CRCRASH_ERR_BADDATA;
      }
      const std::uint64_t class_addr = word_at(image, category, l.ptr);
      std::uint8_t cls[40];
      const void* local = crcrash_async_mobject_remap_address(&cache->objc_data, class_addr, 0, l.class_size);
      if (local != nullptr) {
        crcrash_async_memcpy(cls, local, l.class_size);
      } else if (crcrash_async_task_memcpy(image->task, class_addr, 0, cls, l.class_size) !=
                 CRCRASH_ERR_NONE) {
        CRCRASH_DEBUG("crcrash_async_task_memcpy() for pointer %llx returned NULL",
                      static_cast<unsigned long long>(class_addr));
        CRCRASH_DEBUG("cr_async_objc_parse_objc2_class error %d while parsing class", CRCRASH_ERR_BADDATA);
        return CRCRASH_ERR_BADDATA;
      }
      std::uint8_t ro[72];
      crcrash_error_t err = read_class_ro(image, cache, cls, ro);
      if (err == CRCRASH_ERR_NOTFOUND) continue;  // its class was never realized
      if (err != CRCRASH_ERR_NONE) {
        CRCRASH_DEBUG("cr_async_objc_parse_objc2_class error %d while parsing class", err);
        return err;
      }
      any_realized = true;
      // A category's methods carry its class's name.
      const std::uint64_t name_addr = word_at(image, ro, l.ro_name);
      crcrash_async_macho_string_t class_name;
      err = crcrash_async_macho_string_init(&class_name, image, name_addr);
      if (err != CRCRASH_ERR_NONE) {
        CRCRASH_DEBUG("crcrash_async_macho_string_init at 0x%llx error %d",
                      static_cast<unsigned long long>(name_addr), err);
        return err;
      }
      const std::uint64_t instance_methods = word_at(image, category, 2 * l.ptr);
      const std::uint64_t class_methods = word_at(image, category, 3 * l.ptr);
      if (instance_methods != 0)
        err = method_list(image, cache, instance_methods, false, &class_name, callback, ctx);
      if (err == CRCRASH_ERR_NONE && class_methods != 0)
        err = method_list(image, cache, class_methods, true, &class_name, callback, ctx);
      crcrash_async_macho_string_free(&class_name);
      if (err != CRCRASH_ERR_NONE) {
        CRCRASH_DEBUG("cr_async_objc_parse_objc2_class error %d while parsing class", err);
        return err;
      }
    }
  }
  // Lazily realized classes are common; the image counts as parsed when any class or category was.
  if (!any_realized) return CRCRASH_ERR_NOTFOUND;
  cache->objc2_found = true;
  return CRCRASH_ERR_NONE;
}

}  // namespace

void crcrash_async_objc_cache_init(crcrash_async_objc_cache_t* cache) {
  crcrash_async_memset(cache, 0, sizeof *cache);
}

void crcrash_async_objc_cache_free(crcrash_async_objc_cache_t* cache) {
  release_sections(cache);
  if (cache->class_cache_keys != nullptr) munmap(cache->class_cache_keys, CRCRASH_OBJC_CLASS_CACHE_BYTES);
  cache->class_cache_keys = nullptr;
  cache->class_cache_values = nullptr;
  cache->class_cache_size = 0;
}

crcrash_error_t cr_async_objc_parse(crcrash_async_macho_t* image, crcrash_async_objc_cache_t* cache,
                                    crcrash_async_objc_found_method_cb callback, void* ctx) {
  if (cache == nullptr) return CRCRASH_ERR_ACCESS;
  if (!cache->objc2_found) {
    crcrash_async_mobject_t module_info;
    crcrash_error_t err = crcrash_async_macho_map_section(image, "__OBJC", "__module_info", &module_info);
    if (err == CRCRASH_ERR_NONE) {
      err = legacy_parse(image, &module_info, callback, ctx);
      crcrash_async_mobject_free(&module_info);
      if (err != CRCRASH_ERR_NOTFOUND) return err;
    } else if (err != CRCRASH_ERR_NOTFOUND) {
      CRCRASH_DEBUG("cr_async_macho_map_section(%p, %s, %s, %p) failure %d", static_cast<void*>(image),
                    "__OBJC", "__module_info", static_cast<void*>(&module_info), err);
      return err;
    }
  }
  crcrash_error_t err = map_sections(image, cache);
  if (err != CRCRASH_ERR_NONE) {
    if (err != CRCRASH_ERR_NOTFOUND)
      CRCRASH_DEBUG("Unable to map relevant sections for ObjC2 class parsing, error %d", err);
    return err;
  }
  return objc2_parse(image, cache, callback, ctx);
}

namespace {

struct BestMethod {
  std::uint64_t pc;
  std::uint64_t best;
};

void keep_best(bool, crcrash_async_macho_string_t*, crcrash_async_macho_string_t*, std::uint64_t imp,
               void* ctx) {
  auto* s = static_cast<BestMethod*>(ctx);
  if (imp >= s->best && imp <= s->pc) s->best = imp;
}

struct FirstAtBest {
  std::uint64_t best;
  bool called;
  crcrash_async_objc_found_method_cb callback;
  void* ctx;
};

void call_first_at_best(bool is_meta, crcrash_async_macho_string_t* class_name,
                        crcrash_async_macho_string_t* method_name, std::uint64_t imp, void* ctx) {
  auto* s = static_cast<FirstAtBest*>(ctx);
  if (s->called || imp != s->best) return;
  s->called = true;
  s->callback(is_meta, class_name, method_name, imp, s->ctx);
}

}  // namespace

crcrash_error_t crcrash_async_objc_find_method(crcrash_async_macho_t* image,
                                               crcrash_async_objc_cache_t* cache, std::uint64_t pc,
                                               crcrash_async_objc_found_method_cb callback, void* ctx) {
  BestMethod best{pc, 0};
  crcrash_error_t err = cr_async_objc_parse(image, cache, keep_best, &best);
  if (err == CRCRASH_ERR_NONE) {
    if (best.best == 0) return CRCRASH_ERR_NOTFOUND;
    FirstAtBest first{best.best, false, callback, ctx};
    err = cr_async_objc_parse(image, cache, call_first_at_best, &first);
  }
  if (err != CRCRASH_ERR_NONE && err != CRCRASH_ERR_NOTFOUND) {
    CRCRASH_DEBUG("cr_async_objc_parse(%p, 0x%llx, %p, %p) failure %d", static_cast<void*>(image),
                  static_cast<unsigned long long>(pc), reinterpret_cast<void*>(callback), ctx, err);
  }
  return err;
}
