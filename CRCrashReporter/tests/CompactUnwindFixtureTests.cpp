// Compact unwinding of executed code: Mach-O fixture dylibs built by clang-14 and ld64.lld are mapped,
// their chain a -> b -> c is called with a callback that walks its own stack, and the frames c, b and a
// must come from the compact reader (named by the fixture's symbol table) before the walk goes on into
// the test's own ELF frames by DWARF.

#include <gtest/gtest.h>
#include <unwind.h>

#include <cstdint>
#include <string>
#include <vector>

#include "CrashTestSupport.h"
#include "Platform/CRLoader.h"
#include "crcrash_async_compact_unwind.h"
#include "crcrash_async_image_list.h"
#include "crframe_cursor.h"

namespace pc = platform::crash;

namespace {

int g_compact_frames = 0;

crframe_error_t counting_compact(task_t task, crcrash_async_image_list_t* list,
                                 const crcrash_async_thread_state_t* current,
                                 const crcrash_async_thread_state_t* previous,
                                 crcrash_async_thread_state_t* next) {
  crframe_error_t err = crframe_cursor_read_compact_unwind(task, list, current, previous, next);
  if (err == CRFRAME_ERR_NONE) ++g_compact_frames;
  return err;
}

// Compact unwind and DWARF only: a frame the frame-pointer chain would have to supply ends the walk.
const crframe_cursor_frame_reader_t kReaders[] = {counting_compact, crframe_cursor_read_dwarf_unwind};

struct Context {
  crcrash_async_image_list_t* list;
  std::vector<std::uint64_t> runtime;  // the invoking frame's own callers, by the C++ runtime
  std::vector<std::uint64_t> walk;
};

int walk_state(crcrash_async_thread_state_t* state, void* arg) {
  auto* context = static_cast<Context*>(arg);
  crframe_cursor_t cursor;
  crframe_cursor_init(&cursor, pc::mach_task_self(), state, context->list);
  crcrash_nasync_image_list_set_reading(context->list, true);
  while (context->walk.size() < 200 &&
         crframe_cursor_next_with_readers(&cursor, kReaders, 2) == CRFRAME_ERR_NONE) {
    std::uint64_t ip = 0;
    crframe_cursor_get_reg(&cursor, CRCRASH_REG_IP, &ip);
    context->walk.push_back(ip);
  }
  crcrash_nasync_image_list_set_reading(context->list, false);
  crframe_cursor_free(&cursor);
  return 0;
}

__attribute__((noinline)) int callback(void* context) {
  crcrash_async_thread_state_current(walk_state, context);
  return 1;
}

_Unwind_Reason_Code collect(struct _Unwind_Context* context, void* arg) {
  const std::uint64_t ip = _Unwind_GetIP(context);
  if (ip == 0) return _URC_END_OF_STACK;
  static_cast<std::vector<std::uint64_t>*>(arg)->push_back(ip);
  return _URC_NO_REASON;
}

using chain_fn = int (*)(int (*)(void*), void*);

__attribute__((noinline)) int invoke(chain_fn a, Context* context) {
  context->runtime.reserve(200);
  context->walk.reserve(200);
  _Unwind_Backtrace(collect, &context->runtime);
  int r = a(callback, context);
  asm volatile("" ::: "memory");
  return r;
}

void add_image(std::uint64_t header, std::intptr_t, const char* name, void* list) {
  crcrash_nasync_image_list_append(static_cast<crcrash_async_image_list_t*>(list), header, name);
}
void remove_image(std::uint64_t header, std::intptr_t, const char*, void* list) {
  crcrash_nasync_image_list_remove(static_cast<crcrash_async_image_list_t*>(list), header);
}

void name_symbol(std::uint64_t, const char* name, void* out) { *static_cast<std::string*>(out) = name; }

struct Fixture {
  const char* dylib;
  const char* prefix;
  std::uint32_t modes[3];  // compact modes of c, b, a
};

// Printed for failing cases instead of the raw bytes.
void PrintTo(const Fixture& f, std::ostream* out) { *out << f.dylib; }

class CompactUnwindFixture : public testing::TestWithParam<Fixture> {};

TEST_P(CompactUnwindFixture, WalksThroughTheChainAndOnIntoElfFrames) {
  const Fixture& f = GetParam();
  crash_test::MappedMachO mapped(f.dylib);
  crcrash_async_image_list_t list;
  crcrash_nasync_image_list_init(&list, pc::mach_task_self());
  const int handle = pc::dyld_register_image_callbacks(add_image, remove_image, &list);
  crcrash_nasync_image_list_append(&list, mapped.address(), mapped.path().c_str());
  crcrash_nasync_image_list_set_reading(&list, true);
  crcrash_async_macho_t* image = crcrash_nasync_image_containing_address(&list, mapped.address());
  ASSERT_NE(image, nullptr);
  ASSERT_EQ(image->format, CRCRASH_IMAGE_FORMAT_MACHO);

  // The encodings are of the kind this fixture is meant to cover.
  std::uint64_t addresses[3];
  crcrash_async_mobject_t section;
  ASSERT_EQ(crcrash_async_macho_map_section(image, "__TEXT", "__unwind_info", &section), CRCRASH_ERR_NONE);
  crcrash_async_cfe_reader_t reader;
  ASSERT_EQ(crcrash_async_cfe_reader_init(&reader, &section, crcrash_async_macho_cpu_type(image)),
            CRCRASH_ERR_NONE);
  const char* const names[] = {"c", "b", "a"};
  for (int i = 0; i < 3; ++i) {
    const std::string symbol = std::string("_") + f.prefix + "_" + names[i];
    ASSERT_EQ(crcrash_async_macho_find_symbol_by_name(image, symbol.c_str(), &addresses[i]),
              CRCRASH_ERR_NONE);
    std::uint64_t base = 0;
    std::uint32_t encoding = 0;
    ASSERT_EQ(crcrash_async_cfe_reader_find_pc(&reader, addresses[i] - image->header_addr, &base, &encoding),
              CRCRASH_ERR_NONE);
    // The linker folds neighbours with the same encoding into one entry, so the base may be an earlier
    // function's.
    EXPECT_LE(base, addresses[i] - image->header_addr);
    EXPECT_EQ((encoding >> 24) & 0xF, f.modes[i]) << symbol << " encoding 0x" << std::hex << encoding;
  }
  crcrash_async_mobject_free(&section);
  crcrash_nasync_image_list_set_reading(&list, false);

  Context context{&list, {}, {}};
  g_compact_frames = 0;
  invoke(reinterpret_cast<chain_fn>(addresses[2]), &context);

  // walk[0] is in the callback; walk[1..3] are c, b and a by the fixture's symbol table.
  ASSERT_GE(context.walk.size(), 5u);
  crcrash_nasync_image_list_set_reading(&list, true);
  for (int i = 0; i < 3; ++i) {
    std::string name;
    EXPECT_EQ(crcrash_async_macho_find_symbol_by_pc(image, context.walk[1 + i], name_symbol, &name),
              CRCRASH_ERR_NONE);
    EXPECT_EQ(name, std::string("_") + f.prefix + "_" + names[i]) << "frame " << 1 + i;
  }
  crcrash_nasync_image_list_set_reading(&list, false);
  EXPECT_EQ(g_compact_frames, 3);
  // walk[4] returns into invoke(); from walk[5] on the frames are invoke()'s own callers.
  EXPECT_LT(context.walk[4] - context.runtime[0] + 64, 128u);
  ASSERT_GE(context.walk.size(), 4 + context.runtime.size());
  for (std::size_t i = 1; i < context.runtime.size(); ++i) {
    ASSERT_EQ(context.walk[4 + i], context.runtime[i]) << "frame " << 4 + i;
  }

  pc::dyld_unregister_image_callbacks(handle);
  crcrash_nasync_image_list_free(&list);
}

INSTANTIATE_TEST_SUITE_P(Modes, CompactUnwindFixture,
                         testing::Values(Fixture{"unwind_fp.dylib", "unwind_fp", {1, 1, 1}},
                                         Fixture{"unwind_frameless.dylib", "unwind_frameless", {2, 3, 2}}),
                         [](const testing::TestParamInfo<Fixture>& info) {
                           return std::string(info.param.prefix).substr(7);
                         });

}  // namespace
