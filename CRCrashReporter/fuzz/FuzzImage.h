#pragma once
// Shared by the image fuzzers: one fixed readable buffer that each input is copied into, so that the
// readable-region table never goes stale between inputs, and one pass over every reader of the record.

#include <sys/mman.h>

#include <cstdint>
#include <cstring>

#include "Platform/CRTaskMemory.h"
#include "crcrash_async_macho.h"

namespace fuzz_image {

inline constexpr std::size_t kBufferSize = 1 << 20;

inline std::uint8_t* buffer() {
  static std::uint8_t* b = [] {
    void* p = mmap(nullptr, kBufferSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    platform::crash::region_table_refresh();
    return static_cast<std::uint8_t*>(p);
  }();
  return b;
}

inline void found(std::uint64_t, const char* name, void* ctx) {
  *static_cast<std::size_t*>(ctx) += std::strlen(name);
}

inline void exercise(const std::uint8_t* data, std::size_t size) {
  std::uint8_t* b = buffer();
  if (size > kBufferSize) size = kBufferSize;
  std::memcpy(b, data, size);
  std::memset(b + size, 0, kBufferSize - size);
  auto base = reinterpret_cast<std::uint64_t>(b);
  crcrash_async_macho_t image{};
  if (crcrash_nasync_macho_init(&image, platform::crash::mach_task_self(), "fuzz", base) != CRCRASH_ERR_NONE)
    return;
  std::size_t sink = 0;
  for (void* cmd = crcrash_async_macho_next_command(&image, nullptr); cmd != nullptr;
       cmd = crcrash_async_macho_next_command(&image, cmd)) {
    ++sink;
  }
  std::uint8_t uuid[16];
  crcrash_async_macho_uuid(&image, uuid);
  static const char* const kSegments[] = {"__TEXT", "__DATA", "__LINKEDIT"};
  for (const char* segname : kSegments) {
    crcrash_async_macho_mapped_segment_t segment;
    if (crcrash_async_macho_map_segment(&image, segname, &segment) == CRCRASH_ERR_NONE) {
      crcrash_async_macho_mapped_segment_free(&segment);
    }
  }
  static const char* const kSections[] = {"__text", "__eh_frame", "__unwind_info", "__objc_classlist"};
  for (const char* sectname : kSections) {
    crcrash_async_mobject_t mobj;
    if (crcrash_async_macho_map_section(&image, "__TEXT", sectname, &mobj) == CRCRASH_ERR_NONE) {
      crcrash_async_mobject_free(&mobj);
    }
  }
  const std::uint64_t pcs[] = {base, base + 0x100, base + 0x1000, image.header_addr + image.text_size / 2};
  for (std::uint64_t pc : pcs) {
    crcrash_async_macho_find_symbol_by_pc(&image, pc, found, &sink);
    std::uint64_t fde;
    crcrash_async_macho_find_eh_frame_fde(&image, pc, &fde);
  }
  std::uint64_t address;
  crcrash_async_macho_find_symbol_by_name(&image, "_fixture_a", &address);
  crcrash_async_macho_string_t string;
  crcrash_async_macho_string_init(&string, &image, base + (size > 64 ? size / 2 : 0));
  std::uint64_t length;
  crcrash_async_macho_string_get_length(&string, &length);
  crcrash_async_macho_string_free(&string);
  crcrash_async_macho_free(&image);
}

}  // namespace fuzz_image
