#pragma once
// Objective-C class metadata read straight from an image's sections, without the runtime and without heap
// allocation: the method lists of realized classes, their metaclasses and categories (Objective-C 2), or
// the module records of the legacy runtime (32-bit images). ELF images have no such sections and give 8.

#include <cstdint>

#include "crcrash_async.h"
#include "crcrash_async_macho.h"

// The sections of the last image parsed and the class cache, kept between lookups of one report.
struct crcrash_async_objc_cache_t {
  // Set once an image was parsed through the Objective-C 2 sections; the legacy segment is then no longer
  // tried.
  bool objc2_found;
  crcrash_async_macho_t* last_image;
  bool objc_const_mapped;
  crcrash_async_mobject_t objc_const;
  bool classlist_mapped;
  crcrash_async_mobject_t classlist;
  bool catlist_mapped;
  crcrash_async_mobject_t catlist;
  bool objc_data_mapped;
  crcrash_async_mobject_t objc_data;
  // Slots of the class cache: 1024 once allocated, 0 when the allocation failed or was not made yet.
  std::uint64_t class_cache_size;
  // 1024 class data pointers, then 1024 class_ro addresses, in one 16 KiB mapping.
  std::uint64_t* class_cache_keys;
  std::uint64_t* class_cache_values;
  // Set when the class cache's mapping failed, so that it is not tried again.
  bool class_cache_failed;
};

inline constexpr std::uint64_t CRCRASH_OBJC_CLASS_CACHE_SLOTS = 1024;
inline constexpr std::uint64_t CRCRASH_OBJC_CLASS_CACHE_BYTES = CRCRASH_OBJC_CLASS_CACHE_SLOTS * 16;

// Applied to the isa of an ARM64 image whose bit 0 is set (a non-pointer isa).
extern const std::uint64_t crcrash_async_objc_class_data_mask;

void crcrash_async_objc_cache_init(crcrash_async_objc_cache_t* cache);
void crcrash_async_objc_cache_free(crcrash_async_objc_cache_t* cache);

// Called once per method: whether it is a class method, the class name, the method name (lazily mapped
// strings of the image) and the method's implementation address.
typedef void (*crcrash_async_objc_found_method_cb)(bool is_meta, crcrash_async_macho_string_t* class_name,
                                                   crcrash_async_macho_string_t* method_name,
                                                   std::uint64_t imp, void* ctx);

// Every method of every realized class, metaclass and category of the image. 0, 8 when the image has no
// Objective-C metadata (or its last class or category was not realized), or a parse error.
crcrash_error_t cr_async_objc_parse(crcrash_async_macho_t* image, crcrash_async_objc_cache_t* cache,
                                    crcrash_async_objc_found_method_cb callback, void* ctx);

// The method with the greatest implementation address not above pc: calls back once (the first in parse
// order among equal addresses) and returns 0; 8 when there is none.
crcrash_error_t crcrash_async_objc_find_method(crcrash_async_macho_t* image,
                                               crcrash_async_objc_cache_t* cache, std::uint64_t pc,
                                               crcrash_async_objc_found_method_cb callback, void* ctx);
