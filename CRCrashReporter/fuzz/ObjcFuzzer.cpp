// Objective-C metadata parsing over mutated fixture sections: the Objective-C fixture is mapped once with
// its classes realized; each input patches bytes of its __DATA segment and of the realized classes'
// read-write data, then the image is parsed and its methods looked up.
//
// Input: records of [offset: 2 bytes][length: 1 byte][bytes], each overwriting the pristine bytes at the
// offset (modulo the patchable size).

#include <cstdint>
#include <cstring>
#include <vector>

#include "../tests/CrashTestSupport.h"
#include "crcrash_async_symbol.h"

namespace {

constexpr std::size_t kRwBytes = 4096;

struct Fixture {
  crash_test::MappedMachO mapped{"objc_classes.dylib"};
  crcrash_async_macho_t image{};
  std::uint8_t* data = nullptr;  // the __DATA segment, then the read-write class data
  std::size_t data_size = 0;
  std::uint8_t* rw = nullptr;
  std::vector<std::uint8_t> pristine_data, pristine_rw;
  std::vector<std::uint64_t> imps;

  Fixture() {
    crcrash_nasync_macho_init(&image, platform::crash::mach_task_self(), mapped.path().c_str(),
                              mapped.address());
    crcrash_async_macho_mapped_segment_t segment;
    if (crcrash_async_macho_map_segment(&image, "__DATA", &segment) == CRCRASH_ERR_NONE) {
      data = reinterpret_cast<std::uint8_t*>(crcrash_async_mobject_base_address(&segment.mobj));
      data_size = crcrash_async_mobject_length(&segment.mobj);
      crcrash_async_macho_mapped_segment_free(&segment);
    }
    static std::uint8_t rw_page[kRwBytes] __attribute__((aligned(16)));
    rw = rw_page;
    // Realize every class but QVSleeper: its data pointer goes to {realized, ro}.
    std::size_t used = 0;
    for (const char* name : {"_OBJC_CLASS_$_QVRoot", "_OBJC_METACLASS_$_QVRoot", "_OBJC_CLASS_$_QVWidget",
                             "_OBJC_METACLASS_$_QVWidget"}) {
      std::uint64_t cls = 0;
      if (crcrash_async_macho_find_symbol_by_name(&image, name, &cls) != CRCRASH_ERR_NONE) continue;
      std::uint64_t ro;
      std::memcpy(&ro, reinterpret_cast<void*>(cls + 32), 8);
      std::uint64_t head[2] = {std::uint64_t{1} << 31, ro};
      std::memcpy(rw + used, head, 16);
      std::uint64_t data_pointer = reinterpret_cast<std::uint64_t>(rw + used);
      std::memcpy(reinterpret_cast<void*>(cls + 32), &data_pointer, 8);
      used += 16;
    }
    pristine_data.assign(data, data + data_size);
    pristine_rw.assign(rw, rw + kRwBytes);
    crcrash_async_symbol_cache_t cache;
    crcrash_async_symbol_cache_init(&cache);
    cr_async_objc_parse(
        &image, &cache.objc_cache,
        [](bool, crcrash_async_macho_string_t*, crcrash_async_macho_string_t*, std::uint64_t imp, void* ctx) {
          static_cast<std::vector<std::uint64_t>*>(ctx)->push_back(imp);
        },
        &imps);
    crcrash_async_symbol_cache_free(&cache);
  }
};

void count_method(bool, crcrash_async_macho_string_t* class_name, crcrash_async_macho_string_t* method_name,
                  std::uint64_t, void* ctx) {
  std::uint64_t length = 0;
  if (crcrash_async_macho_string_get_length(class_name, &length) == CRCRASH_ERR_NONE)
    *static_cast<std::uint64_t*>(ctx) += length;
  if (crcrash_async_macho_string_get_length(method_name, &length) == CRCRASH_ERR_NONE)
    *static_cast<std::uint64_t*>(ctx) += length;
}

void found_symbol(std::uint64_t, const char* name, void* ctx) {
  *static_cast<std::uint64_t*>(ctx) += std::strlen(name);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
  static Fixture fixture;
  if (fixture.data == nullptr) return 0;
  std::memcpy(fixture.data, fixture.pristine_data.data(), fixture.data_size);
  std::memcpy(fixture.rw, fixture.pristine_rw.data(), kRwBytes);
  const std::size_t patchable = fixture.data_size + kRwBytes;
  for (std::size_t at = 0; at + 3 <= size;) {
    std::size_t offset = (input[at] | (std::size_t{input[at + 1]} << 8)) % patchable;
    std::size_t length = input[at + 2];
    at += 3;
    for (std::size_t i = 0; i < length && at < size; ++i, ++at, ++offset) {
      if (offset >= patchable) break;
      if (offset < fixture.data_size) {
        fixture.data[offset] = input[at];
      } else {
        fixture.rw[offset - fixture.data_size] = input[at];
      }
    }
  }
  std::uint64_t sink = 0;
  crcrash_async_symbol_cache_t cache;
  crcrash_async_symbol_cache_init(&cache);
  cr_async_objc_parse(&fixture.image, &cache.objc_cache, count_method, &sink);
  for (std::uint64_t imp : fixture.imps) {
    crcrash_async_find_symbol(&fixture.image,
                              CRCRASH_SYMBOL_STRATEGY_SYMBOL_TABLE | CRCRASH_SYMBOL_STRATEGY_OBJC, &cache,
                              imp + 1, found_symbol, &sink);
  }
  crcrash_async_symbol_cache_free(&cache);
  return sink == 0xFFFFFFFFFFFFFFFFull ? 1 : 0;
}
